// Windows implementation of platform/event_log.h: the Application log.
#include "platform/event_log.h"

#include <windows.h>

#include "platform/system.h"

namespace platform {

namespace {

constexpr wchar_t kSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\kelvasync";

const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

bool failWith(LSTATUS status) {
  saveLastError(static_cast<uint32_t>(status));
  return false;
}

}  // namespace

void reportEvent(EventType type, const std::u16string& text) {
  HANDLE source = RegisterEventSourceW(nullptr, reinterpret_cast<const wchar_t*>(kEventSourceName));
  if (source == nullptr) return;
  const wchar_t* strings[1] = {wide(text)};
  ReportEventW(source, static_cast<WORD>(type), 0, kEventMessageId, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

bool registerEventSource(const std::u16string& messageFile) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return failWith(status);
  const DWORD fileBytes = static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t));
  status = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(wide(messageFile)), fileBytes);
  if (status == ERROR_SUCCESS) {
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                            sizeof(types));
  }
  RegCloseKey(key);
  return status == ERROR_SUCCESS || failWith(status);
}

bool unregisterEventSource() {
  const LSTATUS status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, KEY_WOW64_64KEY, 0);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || failWith(status);
}

}  // namespace platform
