// Linux implementation of platform/system.h.
#include "platform/system.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "build_info.h"
#include "common/text.h"
#include "platform/posix/private_file.h"

namespace platform {

LocalTime localTime() { return localTimeAt(static_cast<int64_t>(time(nullptr))); }

LocalTime localTimeAt(int64_t secondsSinceEpoch) {
  const time_t now = static_cast<time_t>(secondsSinceEpoch);
  struct tm parts {};
  localtime_r(&now, &parts);
  LocalTime t;
  t.day = parts.tm_mday;
  t.month = parts.tm_mon + 1;
  t.year = parts.tm_year + 1900;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  return t;
}

uint32_t currentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

static_assert(sizeof(pthread_mutex_t) <= 64, "CriticalSection storage too small");

CriticalSection::CriticalSection() { new (storage_) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER); }
CriticalSection::~CriticalSection() { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void CriticalSection::enter() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void CriticalSection::leave() { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

namespace {
struct ThreadStart {
  ThreadProc proc;
  void* argument;
};
void* threadTrampoline(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.proc(start.argument);
  return nullptr;
}
}  // namespace

ThreadHandle startThread(ThreadProc proc, void* argument) {
  auto* start = new ThreadStart{proc, argument};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, threadTrampoline, start) != 0) {
    delete start;
    return 0;
  }
  static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle));
  return static_cast<ThreadHandle>(thread);
}

void waitThreadAndClose(ThreadHandle thread) {
  if (thread == 0) return;
  pthread_join(static_cast<pthread_t>(thread), nullptr);
}

bool waitThreadFor(ThreadHandle thread, uint32_t milliseconds) {
  if (thread == 0) return true;
  struct timespec until {};
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += milliseconds / 1000;
  until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  int result;
  while ((result = pthread_timedjoin_np(static_cast<pthread_t>(thread), nullptr, &until)) == EINTR) {
  }
  return result == 0;
}

void endProcessNow(int code) {
  fflush(stdout);
  _exit(code);
}

// Linux has no never-signalled event object: a plain sleep that resumes after
// signal interruptions gives the same full-length wait.
TimerEvent::TimerEvent() : handle_(1) {}
TimerEvent::~TimerEvent() = default;
void TimerEvent::wait(uint32_t milliseconds) {
  struct timespec left {};
  left.tv_sec = milliseconds / 1000;
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

namespace {
thread_local uint32_t savedError = 0;
}  // namespace

uint32_t lastErrorCode() { return savedError; }
void saveLastError(uint32_t code) { savedError = code; }

std::u16string modulePath() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) {
    saveLastError(static_cast<uint32_t>(errno));
    return {};
  }
  return utf8ToUtf16(std::string_view(buffer, static_cast<size_t>(n)));
}

std::string programFilesOverride() {
  const char* configured = getenv("KELVASYNC_PROGRAM_FILES");
  return configured != nullptr ? configured : "";
}

std::u16string programFilesFolder() {
  const std::string configured = programFilesOverride();
  if (!configured.empty()) return utf8ToUtf16(configured);
  return u"/opt";
}

std::u16string productPath(const std::u16string& base, std::u16string_view tailWithBackslashes) {
  std::u16string path = base;
  for (char16_t c : tailWithBackslashes) path.push_back(c == u'\\' ? u'/' : c);
  return path;
}

void keepMemoryPrivate() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const struct rlimit none {0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

bool lowerProcessPriority() {
  // Below-normal priority: nice 5 (nice values only ever grow for an
  // unprivileged process, so this also holds after a restart under systemd).
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, 0);
  if (current == -1 && errno != 0) return false;
  if (current >= 5) return true;
  return setpriority(PRIO_PROCESS, 0, 5) == 0;
}

bool readOwnProductVersion(VersionNumbers& version) {
  version.major = KV_VERSION_MAJOR;
  version.minor = KV_VERSION_MINOR;
  version.build = KV_VERSION_PATCH;
  version.revision = KV_VERSION_TWEAK;
  return true;
}

namespace {

// "ELOOP", "EACCES", ...: the same in every locale.
std::u16string errnoName(int error) {
  const char* name = strerrorname_np(error);
  return asciiToUtf16(name != nullptr ? std::string(name) : "errno " + std::to_string(error));
}

}  // namespace

InstanceClaim claimSingleInstance(const std::u16string& lockFilePath, std::u16string& error) {
  // Kept open (and locked) until the process ends; never closed on purpose.
  static int lockFile = -1;
  if (lockFile >= 0) return InstanceClaim::Claimed;
  const int fd = openPrivateFile(lockFilePath, O_RDWR, 0600);
  if (fd < 0) {
    if (errno == ENOENT) return InstanceClaim::Claimed;  // no folder to lock in: not another instance
    if (errno == ENXIO) return InstanceClaim::NotRegularFile;
    if (errno == EMLINK) return InstanceClaim::HardLinked;
    error = u"open: " + errnoName(errno);
    return InstanceClaim::Failed;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int flockError = errno;
    ::close(fd);
    if (flockError == EWOULDBLOCK) return InstanceClaim::HeldByAnother;
    error = u"flock: " + errnoName(flockError);
    return InstanceClaim::Failed;
  }
  lockFile = fd;
  return InstanceClaim::Claimed;
}

}  // namespace platform
