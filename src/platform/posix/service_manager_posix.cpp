// Linux implementation of platform/service_manager.h: systemd.
//
// Service mode runs under systemd as Type=notify. The dispatcher refuses at
// once when the process was not started by systemd (no NOTIFY_SOCKET), as the
// Windows dispatcher does for a program started from a prompt. Otherwise it
// runs the service procedure on a thread of its own and turns SIGTERM (and
// SIGINT) into the stop control on the calling thread: one stop only, and not
// before the service has reported running (as the Windows service manager
// delivers no stop to a service that is still starting, and refuses a second
// one). Status reports become sd_notify messages; installation writes a unit
// file.
#include "platform/service_manager.h"

#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/text.h"
#include "platform/posix/stop_signals.h"
#include "platform/posix/system_program.h"
#include "platform/system.h"

namespace platform {

namespace {

std::atomic<ServiceControlProc> controlHandler{nullptr};
std::atomic<bool> serviceThreadDone{false};
// Set with the first SERVICE_RUNNING report (which carries READY=1).
std::atomic<bool> runningReported{false};
ServiceMainProc serviceProcedure = nullptr;

bool fail() {
  saveLastError(static_cast<uint32_t>(errno));
  return false;
}

unsigned serviceThread(void*) {
  serviceProcedure();
  serviceThreadDone.store(true);
  return 0;
}

// The last message sent to systemd, and the state it reported: a report or
// an announcement that would repeat it sends nothing.
std::mutex notifyLock;
std::string lastNotification;
uint32_t lastReportedState = 0;

// Sends `message` unless it repeats the last one. Caller holds notifyLock.
bool notifyChanged(const std::string& message) {
  if (message == lastNotification) return true;
  const int sent = sd_notify(0, message.c_str());
  if (sent > 0) {
    lastNotification = message;
    return true;
  }
  errno = sent < 0 ? -sent : ENOTCONN;
  return false;
}

struct UnitHandle {
  std::string folder;  // the manager: the folder of unit files
  std::string path;    // a service: its unit file
};

std::string unitFolder() {
  const char* configured = getenv("KELVASYNC_UNIT_DIR");
  return (configured != nullptr && configured[0] != '\0') ? configured : "/etc/systemd/system";
}

// Tells a running systemd about the changed unit files. Only for the real
// unit folder, and only where systemd runs; failures are not the
// installation's concern (the unit file itself was written or removed).
void reloadSystemd(const std::string& folder) {
  if (getenv("KELVASYNC_UNIT_DIR") != nullptr) return;
  struct stat info {};
  if (stat("/run/systemd/system", &info) != 0 || folder != "/etc/systemd/system") return;
  const char* argv[] = {"systemctl", "daemon-reload", nullptr};
  pid_t child = 0;
  if (spawnSystemProgram(&child, "systemctl", nullptr, const_cast<char* const*>(argv)) == 0) {
    int status = 0;
    waitpid(child, &status, 0);
  }
}

}  // namespace

bool runServiceDispatcher(const char16_t* /*serviceName*/, ServiceMainProc serviceMain) {
  const char* socket = getenv("NOTIFY_SOCKET");
  if (socket == nullptr || socket[0] == '\0') {
    errno = ENOTSOCK;
    return fail();
  }
  // The stop controls arrive as signals; block them in every thread so that
  // only this loop takes them (prepareServiceStopSources blocked them
  // already, so one sent earlier is pending now).
  blockStopSignals();
  const sigset_t stops = stopSignals();

  serviceProcedure = serviceMain;
  serviceThreadDone.store(false);
  const ThreadHandle thread = startThread(serviceThread, nullptr);
  if (thread == 0) return fail();

  // A stop that comes while the service starts is held: before the handler
  // is registered there is nobody to tell, and serviceMain clears the stop
  // flag as it starts. It is delivered once the service reports running.
  // Further stop signals after the delivered one are taken and ignored.
  bool stopHeld = false;
  bool stopDelivered = false;
  while (!serviceThreadDone.load()) {
    if (stopHeld && runningReported.load()) {
      const ServiceControlProc handler = controlHandler.load();
      if (handler != nullptr) {
        stopHeld = false;
        stopDelivered = true;
        handler(kServiceControlStop);
      }
    }
    const struct timespec slice {0, (stopHeld ? 10 : 100) * 1000 * 1000};
    const int signal = sigtimedwait(&stops, nullptr, &slice);
    if ((signal == SIGTERM || signal == SIGINT) && !stopDelivered) stopHeld = true;
  }
  waitThreadAndClose(thread);
  return true;
}

void prepareServiceStopSources() { blockStopSignals(); }

ServiceStatusHandle registerServiceControlHandler(const char16_t* /*serviceName*/, ServiceControlProc handler) {
  if (getenv("NOTIFY_SOCKET") == nullptr) {
    errno = ENOTSOCK;
    fail();
    return 0;
  }
  controlHandler.store(handler);
  return 1;
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status, std::u16string_view stateText) {
  if (handle == 0) {
    errno = EBADF;
    return fail();
  }
  std::string message;
  if (status.currentState == kServiceRunning && !runningReported.exchange(true)) message += "READY=1\n";
  if (status.currentState == kServiceStopPending || status.currentState == kServiceStopped) {
    message += "STOPPING=1\n";
  }
  if (status.currentState == kServiceStopped && status.serviceSpecificExitCode != 0) {
    message += "EXIT_STATUS=" + std::to_string(status.serviceSpecificExitCode) + "\n";
  }
  const std::lock_guard<std::mutex> hold(notifyLock);
  // Once running, the state word gives way to what the cycles announce; it
  // comes back when the state changes.
  if (status.currentState != lastReportedState || !message.empty()) {
    message += "STATUS=" + utf16ToUtf8(stateText);
  } else {
    return true;
  }
  lastReportedState = status.currentState;
  return notifyChanged(message) || fail();
}

bool reportServiceRefused(ServiceStatusHandle handle, const ServiceStatus& status, std::u16string_view reason) {
  if (handle == 0) {
    errno = EBADF;
    return fail();
  }
  std::string message = "STOPPING=1\n";
  if (status.serviceSpecificExitCode != 0) {
    message += "EXIT_STATUS=" + std::to_string(status.serviceSpecificExitCode) + "\n";
  }
  message += "STATUS=" + utf16ToUtf8(reason);
  const std::lock_guard<std::mutex> hold(notifyLock);
  lastReportedState = status.currentState;
  return notifyChanged(message) || fail();
}

void announceServiceStatus(std::u16string_view text) {
  if (getenv("NOTIFY_SOCKET") == nullptr) return;
  const std::lock_guard<std::mutex> hold(notifyLock);
  notifyChanged("STATUS=" + utf16ToUtf8(text));
}

ServiceError classifyServiceError(uint32_t code) {
  switch (static_cast<int>(code)) {
    case EACCES:
    case EPERM:
    case EROFS: return ServiceError::AccessDenied;
    case EEXIST: return ServiceError::AlreadyInstalled;
    case ENOENT: return ServiceError::NotInstalled;
    default: return ServiceError::Other;
  }
}

bool openServiceManager(ServiceManagerHandle& manager) {
  const std::string folder = unitFolder();
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) return fail();
  if (!S_ISDIR(info.st_mode)) {
    errno = ENOTDIR;
    return fail();
  }
  if (access(folder.c_str(), W_OK) != 0) return fail();
  manager = reinterpret_cast<ServiceManagerHandle>(new UnitHandle{folder, {}});
  return true;
}

bool createService(ServiceManagerHandle manager, const ServiceDefinition& definition,
                   ServiceManagerHandle& service) {
  const auto* unit = reinterpret_cast<UnitHandle*>(manager);
  const std::string path = unit->folder + "/" + utf16ToUtf8(definition.name) + ".service";
  const std::string& text = definition.systemdUnit;

  FILE* file = nullptr;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 || (file = fdopen(fd, "w")) == nullptr) {
    const int error = errno;
    if (fd >= 0) close(fd);
    errno = error;
    return fail();
  }
  const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  const int writeError = errno;
  if (fclose(file) != 0 || !written) {
    errno = written ? errno : writeError;
    fail();
    unlink(path.c_str());
    return false;
  }
  reloadSystemd(unit->folder);
  service = reinterpret_cast<ServiceManagerHandle>(new UnitHandle{unit->folder, path});
  return true;
}

// The unit file already carries the description (written by createService).
bool setServiceDescription(ServiceManagerHandle, const std::u16string&) { return true; }

bool setServiceRecovery(ServiceManagerHandle) { return true; }

bool setServiceOwnSid(ServiceManagerHandle) { return true; }

bool openServiceForDelete(ServiceManagerHandle manager, const std::u16string& name, ServiceManagerHandle& service) {
  const auto* unit = reinterpret_cast<UnitHandle*>(manager);
  const std::string path = unit->folder + "/" + utf16ToUtf8(name) + ".service";
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return fail();
  service = reinterpret_cast<ServiceManagerHandle>(new UnitHandle{unit->folder, path});
  return true;
}

bool deleteService(ServiceManagerHandle service) {
  const auto* unit = reinterpret_cast<UnitHandle*>(service);
  if (unlink(unit->path.c_str()) != 0) return fail();
  reloadSystemd(unit->folder);
  return true;
}

void closeServiceHandle(ServiceManagerHandle handle) { delete reinterpret_cast<UnitHandle*>(handle); }

}  // namespace platform
