// Windows implementation of platform/files.h.
#include "platform/files.h"

#include <filesystem>

#include <windows.h>
#include <aclapi.h>

namespace platform {

// FILE_WRITE_DATA beside FILE_APPEND_DATA is what lets appendToFile set the
// end of the file back after a write cut short; writes still go to the end
// (appendToFile names the end as their offset). A file whose ACL grants this
// account appending alone is opened as before, for appending only, and a
// write cut short there stays as the system left it.
FileHandle openExclusiveAppend(const std::u16string& path) {
  const wchar_t* name = reinterpret_cast<const wchar_t*>(path.c_str());
  HANDLE file = CreateFileW(name, FILE_APPEND_DATA | FILE_WRITE_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    file = CreateFileW(name, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return kInvalidFile;
  return reinterpret_cast<FileHandle>(file);
}

bool appendToFile(FileHandle file, const char* bytes, size_t count) {
  const HANDLE handle = reinterpret_cast<HANDLE>(file);
  // No other handle can be open (no sharing), so the file ends where it did
  // before this write. The size needs no access right of its own.
  LARGE_INTEGER before{};
  const bool sized = GetFileSizeEx(handle, &before) != FALSE;
  // An offset of all ones writes at the end of the file, wherever the
  // handle's position is.
  OVERLAPPED atEnd{};
  atEnd.Offset = 0xFFFFFFFF;
  atEnd.OffsetHigh = 0xFFFFFFFF;
  DWORD written = 0;
  if (WriteFile(handle, bytes, static_cast<DWORD>(count), &written, &atEnd) != FALSE && written == count) return true;
  // Cut short (a quota, a disk that filled part-way) or failed: whatever
  // part of the line got in is taken out again.
  if (sized) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile = before;
    SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end);
  }
  return false;
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

bool replaceFileContents(const std::u16string& path, const std::string& bytes, uint32_t) {
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

bool folderAcceptsWrites(const std::u16string& folder, const std::u16string& file) {
  std::u16string probe = folder + u"\\kelvasync-escrita-";
  for (char c : std::to_string(GetCurrentProcessId())) probe.push_back(static_cast<char16_t>(c));
  probe += u".tmp";
  const HANDLE created = CreateFileW(reinterpret_cast<const wchar_t*>(probe.c_str()), GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (created == INVALID_HANDLE_VALUE) return false;
  CloseHandle(created);
  const wchar_t* existing = reinterpret_cast<const wchar_t*>(file.c_str());
  if (GetFileAttributesW(existing) == INVALID_FILE_ATTRIBUTES) return true;
  const HANDLE opened = CreateFileW(existing, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  // Held by the running service (no sharing): it writes there, so it may.
  if (opened == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(opened);
  return true;
}

bool folderWritableByOthers(const std::u16string&, uint32_t&) { return false; }

bool folderOwnedByStranger(const std::u16string&, std::u16string&) { return false; }

bool fileReadableByOthers(const std::filesystem::path& path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
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
  // The service's own SID (NT SERVICE\kelvasync), which the MSI grants what
  // a service run as another account must read: the service itself, as the
  // group kelvasync is on Linux. Unknown where the service has no SID.
  BYTE serviceBuffer[SECURITY_MAX_SID_SIZE];
  DWORD serviceSize = sizeof serviceBuffer;
  wchar_t domain[256];
  DWORD domainSize = 256;
  SID_NAME_USE use;
  const bool serviceSid = LookupAccountNameW(nullptr, L"NT SERVICE\\kelvasync", serviceBuffer, &serviceSize, domain,
                                             &domainSize, &use) != 0;
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
        (serviceSid && EqualSid(trustee, serviceBuffer)) || (owner != nullptr && EqualSid(trustee, owner))) {
      continue;
    }
    readable = true;
  }
  LocalFree(descriptor);
  return readable;
}

}  // namespace platform
