// Platform seam: the log file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;

// Opens (creating when missing, never creating folders) a file for appending
// with no sharing: while one handle is open, a second open of the same file,
// from this or another process, fails. Windows: CreateFileW(FILE_APPEND_DATA
// | FILE_WRITE_DATA, share 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL), where
// FILE_WRITE_DATA is what setting the end of the file back needs; a file
// whose ACL refuses FILE_WRITE_DATA is opened with FILE_APPEND_DATA alone.
// Linux: open(O_WRONLY|O_APPEND|O_CREAT|O_NOFOLLOW, mode 0640, a wider mode
// narrowed) plus a non-blocking exclusive flock; a symbolic link is never
// followed. kInvalidFile on failure.
FileHandle openExclusiveAppend(const std::u16string& path);

// Appends all of `bytes` at the end of the file, or nothing: true when every
// byte was written. A write cut short or failed (no room left on the disk, a
// quota, a file size limit) is undone by setting the end of the file back to
// where it was before (ftruncate / SetFileInformationByHandle with
// FileEndOfFileInfo), so that a log never holds half a line, and a later
// line never runs on from the half. The sole exception: on Windows, a
// handle opened for appending alone (see above) cannot set the end back.
bool appendToFile(FileHandle file, const char* bytes, size_t count);
void flushFile(FileHandle file);
void closeFile(FileHandle file);

// Size in bytes of a file, asked by name (GetFileAttributesExW / stat): no
// handle of the file is needed, and asking by name needs no access that a
// handle without sharing would refuse. 0 when it cannot be read.
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
// file gets the permission bits `mode` whatever the process's umask (a file
// that holds nothing secret may be 0644, for a monitoring account outside
// the service's group) and a symbolic link in its place is not followed; on
// Windows `mode` is ignored and the file inherits the folder's ACL.
// False when any step fails; `path` is then unchanged.
bool replaceFileContents(const std::u16string& path, const std::string& bytes, uint32_t mode = 0640);

// The whole content of a small file; false when it cannot be read.
bool readFileContents(const std::u16string& path, std::string& bytes);

// Whether a file (or anything else) of that name exists; a symbolic link
// counts as itself. GetFileAttributesW / lstat.
bool fileExists(const std::u16string& path);

// Deletes a file; false when it is missing or cannot be deleted.
bool removeFile(const std::u16string& path);

// Whether the calling account may create files in `folder` (and, when
// `file` in it exists, write to that file): access(W_OK) on Linux, which
// also fails on a read-only file system; on Windows a file of its own is
// created in the folder and deleted at once.
bool folderAcceptsWrites(const std::u16string& folder, const std::u16string& file);

// True when a user other than the folder's owner may create, rename or
// delete files in it. Linux: its group or other write bit is set; `mode`
// receives its permission bits. Windows: false (the installer gives the
// folder an ACL that only SYSTEM and Administrators may write through).
// False when the folder cannot be examined.
bool folderWritableByOthers(const std::u16string& folder, uint32_t& mode);

// True when the folder belongs to an account that is neither root, nor the
// one this process runs as, nor the service's own ("kelvasync", which the
// Debian package creates): such an account could put a FIFO, a link or a
// file of its own where the log, the status or the lock should be. `owner`
// receives its name (or number). Windows: false (the installer sets the
// folder's ACL). False when the folder cannot be examined.
bool folderOwnedByStranger(const std::u16string& folder, std::u16string& owner);

// True when the file's permissions let someone other than its owner and
// the administrators read it: on Linux any other read bit, or a group read
// bit for a group other than the service's own ("kelvasync"); on
// Windows an allowing ACE with read access for a trustee other than
// Administrators, SYSTEM, the service's own SID (NT SERVICE\kelvasync) or
// the owner. False when it cannot be told (a missing file included).
bool fileReadableByOthers(const std::filesystem::path& path);

}  // namespace platform
