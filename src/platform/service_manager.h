// Platform seam: the service manager (Windows SCM / systemd).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The status record as the Windows service manager defines it. On Linux each
// report becomes an sd_notify message (see service_manager_posix.cpp).
struct ServiceStatus {
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceAcceptShutdown = 4;
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;
constexpr uint32_t kErrorServiceSpecificError = 1066;

using ServiceMainProc = void (*)();
using ServiceControlProc = void (*)(uint32_t control);
using ServiceStatusHandle = uintptr_t;

// Hands the calling (main) thread to the service dispatcher with a table of
// one service. Returns when the service has stopped, or at once with false
// when the process was not started by the service manager (Windows: started
// from a prompt; Linux: no NOTIFY_SOCKET from systemd).
bool runServiceDispatcher(const char16_t* serviceName, ServiceMainProc serviceMain);

// Called in service mode before any other thread exists. On Linux SIGTERM
// and SIGINT are blocked from then on in every thread, so that a stop sent
// while the service starts waits for the dispatcher instead of ending the
// process at once. Nothing on Windows, where the service manager delivers no
// control to a service that is still starting.
void prepareServiceStopSources();

// RegisterServiceCtrlHandlerW. On Linux the handler receives
// kServiceControlStop for SIGTERM (and SIGINT), on the dispatcher's thread:
// once the service has reported SERVICE_RUNNING (a stop signal that came
// earlier is held until then), and only once per run.
ServiceStatusHandle registerServiceControlHandler(const char16_t* serviceName, ServiceControlProc handler);

// SetServiceStatus. On Linux: READY=1 with the first SERVICE_RUNNING,
// STOPPING=1 with SERVICE_STOP_PENDING and with SERVICE_STOPPED, EXIT_STATUS=
// when a service-specific exit code is set, and `stateText` as STATUS= when
// the state changes (the caller's words for it; once running, what the
// cycles announce takes its place); a message is sent only when it differs
// from the last one, so the watcher's re-report every second sends nothing.
// Windows ignores `stateText`.
bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status, std::u16string_view stateText = {});

// A start refused before the first cycle: the SERVICE_STOPPED report of
// `status` (with its exit codes). On Linux STATUS= then carries `reason`,
// the line that names the cause, instead of the state word "parado".
bool reportServiceRefused(ServiceStatusHandle handle, const ServiceStatus& status, std::u16string_view reason);

// The one-line health of the running service for systemctl status (the
// last cycle's summary and the next cycle's time): STATUS= on Linux, sent
// only when it changes. Nothing on Windows.
void announceServiceStatus(std::u16string_view text);

// Installation and removal, step by step, so that the service code can report
// the step that failed. Each function returns false on failure; the error
// code of the failing call is then available from lastErrorCode() (system.h).
using ServiceManagerHandle = uintptr_t;
struct ServiceDefinition {
  std::u16string name;
  std::u16string displayName;
  std::u16string description;
  std::u16string binaryPath;  // the executable's full path, unquoted; Windows registers it in quotes
  std::string systemdUnit;    // Linux: the unit file's text, written as it is; Windows: unused
};
// What the error code of a failed installation or removal step means, in
// terms an administrator can act on (Windows: 5, 1073, 1060, 1072; Linux:
// EACCES/EPERM/EROFS, EEXIST, ENOENT).
enum class ServiceError : uint8_t { AccessDenied, AlreadyInstalled, NotInstalled, MarkedForDeletion, Other };
ServiceError classifyServiceError(uint32_t code);

bool openServiceManager(ServiceManagerHandle& manager);                 // OpenSCManagerW(ALL_ACCESS)
bool createService(ServiceManagerHandle manager, const ServiceDefinition& definition,
                   ServiceManagerHandle& service);                     // CreateServiceW(ALL_ACCESS)
bool setServiceDescription(ServiceManagerHandle service, const std::u16string& description);
// Recovery when the service process ends without reporting SERVICE_STOPPED:
// restart after kRecoveryRestartDelayMs, twice, then nothing; the count of
// failures starts again after a day without one (ChangeServiceConfig2W,
// SERVICE_CONFIG_FAILURE_ACTIONS). Nothing on Linux.
constexpr uint32_t kRecoveryRestartDelayMs = 60000;
bool setServiceRecovery(ServiceManagerHandle service);
// Windows: gives the service its own SID (NT SERVICE\<name>,
// SERVICE_SID_TYPE_UNRESTRICTED), to which an installer can grant the
// service's folder whatever account it runs as. Linux: nothing (true).
bool setServiceOwnSid(ServiceManagerHandle service);
bool openServiceForDelete(ServiceManagerHandle manager, const std::u16string& name,
                          ServiceManagerHandle& service);              // OpenServiceW(DELETE)
bool deleteService(ServiceManagerHandle service);
void closeServiceHandle(ServiceManagerHandle handle);

}  // namespace platform
