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

// Size in bytes of a file, asked by name (GetFileAttributesExW / stat): a
// handle opened for appending only may not be asked, and asking by name
// needs no access that a handle without sharing would refuse. 0 when it
// cannot be read.
uint64_t fileSize(const std::u16string& path);

// Renames a file, never replacing an existing `to`: false when `to` exists,
// `from` is missing, or the system refuses (on Windows, a file another
// handle holds open without delete sharing cannot be renamed).
// MoveFileExW without MOVEFILE_REPLACE_EXISTING / renameat2(RENAME_NOREPLACE).
bool renameFileNoReplace(const std::u16string& from, const std::u16string& to);

// Replaces the whole content of a small file so that a reader sees either
// the old content or the new, never a part: written to `path` + ".tmp",
// flushed to disk, then renamed over `path` (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH / rename). On Linux the
// file is created 0640 and a symbolic link in its place is not followed.
// False when any step fails; `path` is then unchanged.
bool replaceFileContents(const std::u16string& path, const std::string& bytes);

// The whole content of a small file; false when it cannot be read.
bool readFileContents(const std::u16string& path, std::string& bytes);

// Deletes a file; false when it is missing or cannot be deleted.
bool removeFile(const std::u16string& path);

// True when the file's permissions let someone other than its owner and
// the administrators read it: on Linux any group or other read bit; on
// Windows an allowing ACE with read access for a trustee other than
// Administrators, SYSTEM or the owner. False when it cannot be told (a
// missing file included).
bool fileReadableByOthers(const std::u16string& path);

}  // namespace platform
