// Windows implementation of platform/files.h.
#include "platform/files.h"

#include <windows.h>

namespace platform {

FileHandle openExclusiveAppend(const std::u16string& path) {
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), FILE_APPEND_DATA, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kInvalidFile;
  return reinterpret_cast<FileHandle>(file);
}

void appendToFile(FileHandle file, const char* bytes, size_t count) {
  DWORD written = 0;
  WriteFile(reinterpret_cast<HANDLE>(file), bytes, static_cast<DWORD>(count), &written, nullptr);
}

void flushFile(FileHandle file) { FlushFileBuffers(reinterpret_cast<HANDLE>(file)); }

void closeFile(FileHandle file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }

}  // namespace platform
