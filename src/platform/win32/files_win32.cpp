// Windows implementation of platform/files.h.
#include "platform/files.h"

#include <windows.h>
#include <aclapi.h>

namespace platform {

FileHandle openExclusiveAppend(const std::u16string& path) {
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), FILE_APPEND_DATA, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kInvalidFile;
  return reinterpret_cast<FileHandle>(file);
}

bool appendToFile(FileHandle file, const char* bytes, size_t count) {
  DWORD written = 0;
  return WriteFile(reinterpret_cast<HANDLE>(file), bytes, static_cast<DWORD>(count), &written, nullptr) &&
         written == count;
}

void flushFile(FileHandle file) { FlushFileBuffers(reinterpret_cast<HANDLE>(file)); }

void closeFile(FileHandle file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }

uint64_t fileSize(const std::u16string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(reinterpret_cast<const wchar_t*>(path.c_str()), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool renameFileNoReplace(const std::u16string& from, const std::u16string& to) {
  return MoveFileExW(reinterpret_cast<const wchar_t*>(from.c_str()), reinterpret_cast<const wchar_t*>(to.c_str()),
                     0) != 0;
}

bool replaceFileContents(const std::u16string& path, const std::string& bytes) {
  const std::u16string temporary = path + u".tmp";
  const wchar_t* temporaryName = reinterpret_cast<const wchar_t*>(temporary.c_str());
  const HANDLE file = CreateFileW(temporaryName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool whole = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != FALSE &&
                     written == bytes.size() && FlushFileBuffers(file) != FALSE;
  CloseHandle(file);
  if (!whole || !MoveFileExW(temporaryName, reinterpret_cast<const wchar_t*>(path.c_str()),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(temporaryName);
    return false;
  }
  return true;
}

bool readFileContents(const std::u16string& path, std::string& bytes) {
  const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes.clear();
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) != FALSE && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return true;
}

bool fileExists(const std::u16string& path) {
  return GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str())) != INVALID_FILE_ATTRIBUTES;
}

bool removeFile(const std::u16string& path) {
  return DeleteFileW(reinterpret_cast<const wchar_t*>(path.c_str())) != 0;
}

bool folderWritableByOthers(const std::u16string&, uint32_t&) { return false; }

bool fileReadableByOthers(const std::u16string& path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(reinterpret_cast<const wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  BYTE adminsBuffer[SECURITY_MAX_SID_SIZE];
  BYTE systemBuffer[SECURITY_MAX_SID_SIZE];
  DWORD adminsSize = sizeof adminsBuffer;
  DWORD systemSize = sizeof systemBuffer;
  const bool sidsMade = CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, adminsBuffer, &adminsSize) &&
                        CreateWellKnownSid(WinLocalSystemSid, nullptr, systemBuffer, &systemSize);
  // A null DACL grants everyone everything.
  bool readable = dacl == nullptr;
  constexpr DWORD kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
  for (DWORD i = 0; sidsMade && dacl != nullptr && i < dacl->AceCount && !readable; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & kReadRights) == 0) continue;
    PSID trustee = const_cast<DWORD*>(&allowed->SidStart);
    if (EqualSid(trustee, adminsBuffer) || EqualSid(trustee, systemBuffer) ||
        (owner != nullptr && EqualSid(trustee, owner))) {
      continue;
    }
    readable = true;
  }
  LocalFree(descriptor);
  return readable;
}

}  // namespace platform
