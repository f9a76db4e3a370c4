// Windows implementation of platform/system.h.
#include "platform/system.h"

#include <windows.h>
#include <process.h>

#include <cstdio>
#include <new>
#include <string>

namespace platform {

namespace {

LocalTime fromSystemTime(const SYSTEMTIME& parts) {
  LocalTime t;
  t.day = parts.wDay;
  t.month = parts.wMonth;
  t.year = parts.wYear;
  t.hour = parts.wHour;
  t.minute = parts.wMinute;
  t.second = parts.wSecond;
  return t;
}

}  // namespace

LocalTime localTimeAt(int64_t secondsSinceEpoch) {
  // FILETIME counts 100 ns steps from 1601; 1970 is 11644473600 s later.
  const uint64_t ticks = (static_cast<uint64_t>(secondsSinceEpoch) + 11644473600ull) * 10000000ull;
  FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  FILETIME local{};
  SYSTEMTIME parts{};
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &parts)) return LocalTime{};
  return fromSystemTime(parts);
}

LocalTime localTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return fromSystemTime(now);
}

uint32_t currentThreadId() { return GetCurrentThreadId(); }

static_assert(sizeof(CRITICAL_SECTION) <= 64, "CriticalSection storage too small");

CriticalSection::CriticalSection() {
  InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}
CriticalSection::~CriticalSection() { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void CriticalSection::enter() { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void CriticalSection::leave() { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

namespace {
struct ThreadStart {
  ThreadProc proc;
  void* argument;
};
unsigned __stdcall threadTrampoline(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  const unsigned code = start.proc(start.argument);
  _endthreadex(code);
  return code;
}
thread_local uint32_t savedError = 0;
}  // namespace

ThreadHandle startThread(ThreadProc proc, void* argument) {
  auto* start = new ThreadStart{proc, argument};
  const uintptr_t thread = _beginthreadex(nullptr, 0, threadTrampoline, start, 0, nullptr);
  if (thread == 0) delete start;
  return thread;
}

void waitThreadAndClose(ThreadHandle thread) {
  if (thread == 0) return;
  WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
  CloseHandle(reinterpret_cast<HANDLE>(thread));
}

bool waitThreadFor(ThreadHandle thread, uint32_t milliseconds) {
  if (thread == 0) return true;
  if (WaitForSingleObject(reinterpret_cast<HANDLE>(thread), milliseconds) != WAIT_OBJECT_0) return false;
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
}

void endProcessNow(int code) {
  fflush(stdout);
  ExitProcess(static_cast<UINT>(code));
}

TimerEvent::TimerEvent() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  handle_ = event != nullptr ? reinterpret_cast<uintptr_t>(event) : 0;
}
TimerEvent::~TimerEvent() {
  if (handle_ != 0) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}
void TimerEvent::wait(uint32_t milliseconds) {
  if (handle_ != 0) WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), milliseconds);
}

uint32_t lastErrorCode() { return savedError; }
void saveLastError(uint32_t code) { savedError = code; }

std::u16string modulePath() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (length == 0) {
    saveLastError(GetLastError());
    return {};
  }
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

std::string programFilesOverride() { return {}; }

std::u16string programFilesFolder() {
  wchar_t buffer[MAX_PATH] = {};
  static constexpr wchar_t kFallback[] = L"C:\\Program Files(x86)";
  static_assert(sizeof kFallback <= sizeof buffer);
  memcpy(buffer, kFallback, sizeof kFallback);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion", 0,
                    KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
    // 512 bytes offered into a 520-byte buffer: the last units stay zero, so
    // the text is terminated even when the stored value is not.
    DWORD size = 512;
    RegQueryValueExW(key, L"ProgramFilesDir (x86)", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
  }
  buffer[MAX_PATH - 1] = 0;
  return std::u16string(reinterpret_cast<const char16_t*>(buffer));
}

std::u16string productPath(const std::u16string& base, std::u16string_view tailWithBackslashes) {
  return base + std::u16string(tailWithBackslashes);
}

void keepMemoryPrivate() {}

bool lowerProcessPriority() { return SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS) != FALSE; }

bool readOwnProductVersion(VersionNumbers& version) {
  wchar_t path[1024] = {};
  GetModuleFileNameW(nullptr, path, 1024);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size < 1 || size > 2048) return false;
  alignas(8) unsigned char block[2048] = {};
  if (!GetFileVersionInfoW(path, 0, sizeof block, block)) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block, L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr) return false;
  version.major = HIWORD(info->dwProductVersionMS);
  version.minor = LOWORD(info->dwProductVersionMS);
  version.build = HIWORD(info->dwProductVersionLS);
  version.revision = LOWORD(info->dwProductVersionLS);
  return true;
}

InstanceClaim claimSingleInstance(const std::u16string& lockFilePath, std::u16string& error) {
  // A file in the data folder, opened without sharing and kept open until
  // the process ends (the system closes it then, however it ends). Unlike a
  // named kernel object, which any user may create first, only the accounts
  // the folder's ACL lets write there (SYSTEM and Administrators) can open it.
  static HANDLE instance = INVALID_HANDLE_VALUE;
  if (instance != INVALID_HANDLE_VALUE) return InstanceClaim::Claimed;
  const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(lockFilePath.c_str()),
                                  GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    instance = file;
    return InstanceClaim::Claimed;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_SHARING_VIOLATION) return InstanceClaim::HeldByAnother;
  // No folder to lock in: not another instance; the log's open fails next.
  if (code == ERROR_PATH_NOT_FOUND || code == ERROR_FILE_NOT_FOUND) return InstanceClaim::Claimed;
  const std::string text = "CreateFileW: " + std::to_string(code);
  error.assign(text.begin(), text.end());
  return InstanceClaim::Failed;
}

}  // namespace platform
