// Platform seam: time, threads, locks, the process and its own file.
//
// The only place besides the other seam headers where the service meets the
// operating system. posix/ and win32/ each implement every function here;
// CMake compiles exactly one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct LocalTime {
  int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
};

// Local wall-clock time (GetLocalTime / localtime_r).
LocalTime localTime();

// The local wall-clock time of a moment given in seconds since 1970 (UTC).
LocalTime localTimeAt(int64_t secondsSinceEpoch);

// The calling thread's identifier (GetCurrentThreadId / gettid).
uint32_t currentThreadId();

// A mutual-exclusion lock (CRITICAL_SECTION / pthread mutex). Not copyable.
// Constructed and destroyed with the object; enter/leave may be called from
// any thread.
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void enter();
  void leave();

 private:
  alignas(16) unsigned char storage_[64];
};

// Holds a CriticalSection for the life of a scope.
class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CriticalSection& lock) : lock_(lock) { lock_.enter(); }
  ~CriticalSectionGuard() { lock_.leave(); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

 private:
  CriticalSection& lock_;
};

// A thread started with the C runtime's thread start (_beginthreadex /
// pthread_create). 0 when it could not be started.
using ThreadHandle = uintptr_t;
using ThreadProc = unsigned (*)(void* argument);
ThreadHandle startThread(ThreadProc proc, void* argument);
// Waits without a time limit for the thread to end and releases its handle.
// Does nothing for a handle of 0.
void waitThreadAndClose(ThreadHandle thread);
// Waits at most `milliseconds` for the thread to end; true (and the handle
// released) when it ended, false when it still runs (the handle stays
// valid). True for a handle of 0.
bool waitThreadFor(ThreadHandle thread, uint32_t milliseconds);

// Ends the process at once with `code`, without waiting for other threads
// or running static destructors (ExitProcess / _exit): for a thread that
// is left inside a call that never returns. Standard output is flushed.
[[noreturn]] void endProcessNow(int code);

// A never-signalled, manual-reset event used as a timer: waiting on it always
// lasts the full time. `valid()` is false when it could not be created.
class TimerEvent {
 public:
  TimerEvent();
  ~TimerEvent();
  TimerEvent(const TimerEvent&) = delete;
  TimerEvent& operator=(const TimerEvent&) = delete;
  bool valid() const { return handle_ != 0; }
  void wait(uint32_t milliseconds);

 private:
  uintptr_t handle_ = 0;
};

// The error code of the last failing seam call on this thread (GetLastError
// read right after the failing call, or the saved errno on Linux).
uint32_t lastErrorCode();
// Records the error code of a failing call (used by the implementations).
void saveLastError(uint32_t code);

// Full path of the running executable (GetModuleFileNameW with no module
// handle / /proc/self/exe); empty when it cannot be read.
std::u16string modulePath();

// The program-files folder for the service's INI and log files: on Windows
// the registry value "ProgramFilesDir (x86)" with the fixed fallback; on
// Linux the environment variable KELVASYNC_PROGRAM_FILES, else "/opt".
std::u16string programFilesFolder();
// The value that chose it when one was set (Linux: KELVASYNC_PROGRAM_FILES),
// for a unit that must find the same folder; empty otherwise (Windows).
std::string programFilesOverride();

// Builds a path under `base` from a tail written with backslashes, e.g.
// "\\Karvell Networks\\HSM Karvell\\kelvasync.ini"; on Linux the separators
// become '/'.
std::u16string productPath(const std::u16string& base, std::u16string_view tailWithBackslashes);

// Keeps the process's memory (the decrypted HSM administrator password
// among it) out of core dumps and away from other processes of the same
// user: on Linux not dumpable (prctl PR_SET_DUMPABLE 0, which also denies
// ptrace and /proc/PID/mem to them) and a core size limit of 0. Windows:
// nothing (crash dumps there are the system's, for administrators). Call
// first thing in main.
void keepMemoryPrivate();

// Lowers the process's scheduling priority (BELOW_NORMAL_PRIORITY_CLASS /
// a positive nice value). False when that was refused.
bool lowerProcessPriority();

// The product version of the executable: on Windows read from its version
// resource (only when the resource is 1 to 2048 bytes and readable); on Linux
// the version compiled in. False when unavailable.
struct VersionNumbers {
  uint16_t major = 0, minor = 0, build = 0, revision = 0;
};
bool readOwnProductVersion(VersionNumbers& version);

// Claims, for the rest of the process's life, the right to be the one running
// instance of the service on this machine, through the file `lockFilePath`
// in the data folder (created when missing), which only the accounts that
// may write that folder can open: a user without those rights can neither
// block the service nor make it run twice.
//   Claimed        this process holds it (also when the folder is missing:
//                  the caller meets that fault where it lies)
//   HeldByAnother  another process holds it
//   Failed         anything else (no rights, a symbolic link in its place):
//                  the service must not start; `error` says what failed
// Windows: CreateFileW without sharing, kept open. Linux: open with mode
// 0600 and O_NOFOLLOW plus a non-blocking exclusive flock, kept open. The
// system releases it when the process ends, however it ends.
// NotRegularFile: a FIFO, a folder or a device in the lock's place;
// HardLinked: run as root, a file with other names (any file may be one of
// them); Failed: the system refused, `error` names the call and its code.
enum class InstanceClaim { Claimed, HeldByAnother, NotRegularFile, HardLinked, Failed };
InstanceClaim claimSingleInstance(const std::u16string& lockFilePath, std::u16string& error);

}  // namespace platform
