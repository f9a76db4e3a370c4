// Platform seam: the log file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;

// Opens (creating when missing, never creating folders) a file for appending
// with no sharing: while one handle is open, a second open of the same file,
// from this or another process, fails. Windows: CreateFileW(FILE_APPEND_DATA,
// share 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL). Linux: open(O_WRONLY|O_APPEND|
// O_CREAT) plus a non-blocking exclusive flock. kInvalidFile on failure.
FileHandle openExclusiveAppend(const std::u16string& path);

// One write at the end of the file; the result is not reported because the
// log ignores it.
void appendToFile(FileHandle file, const char* bytes, size_t count);
void flushFile(FileHandle file);
void closeFile(FileHandle file);

}  // namespace platform
