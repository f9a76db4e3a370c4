// Linux implementation of platform/files.h.
#include "platform/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "common/text.h"
#include "platform/posix/private_file.h"

namespace platform {

int openPrivateFile(const std::u16string& path, int flags, mode_t mode) {
  // A symbolic link planted in the folder is never followed: the open fails.
  const int fd = open(utf16ToUtf8(path).c_str(), flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  // A file left by an older version with wider permissions is narrowed: a
  // user who may open it could hold its lock.
  struct stat status {};
  if (fstat(fd, &status) == 0 && (status.st_mode & 07777 & ~mode) != 0) fchmod(fd, status.st_mode & mode);
  return fd;
}

FileHandle openExclusiveAppend(const std::u16string& path) {
  // Owner writes, its group reads, others nothing: whoever can open the log
  // could also lock it and make the service lose its lines.
  const int fd = openPrivateFile(path, O_WRONLY | O_APPEND, 0640);
  if (fd < 0) return kInvalidFile;
  // No sharing: a second writer (this process or another) is refused, as a
  // Windows open with share mode 0 would be.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return kInvalidFile;
  }
  return fd;
}

bool appendToFile(FileHandle file, const char* bytes, size_t count) {
  const int fd = static_cast<int>(file);
  struct stat before {};
  const bool sized = fstat(fd, &before) == 0;
  size_t done = 0;
  while (done < count) {
    const ssize_t n = write(fd, bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done == count) return true;
  // The exclusive lock keeps every other writer out, so the file ended
  // where it did before this write.
  if (done > 0 && sized) {
    while (ftruncate(fd, before.st_size) != 0 && errno == EINTR) {
    }
  }
  return false;
}

void flushFile(FileHandle file) { fsync(static_cast<int>(file)); }

void closeFile(FileHandle file) { close(static_cast<int>(file)); }

uint64_t fileSize(const std::u16string& path) {
  struct stat status {};
  if (stat(utf16ToUtf8(path).c_str(), &status) != 0) return 0;
  return static_cast<uint64_t>(status.st_size);
}

bool renameFileNoReplace(const std::u16string& from, const std::u16string& to) {
  const std::string source = utf16ToUtf8(from);
  const std::string target = utf16ToUtf8(to);
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without RENAME_NOREPLACE: a hard link fails as well when
  // the target exists, and the source name is dropped only once it holds.
  if (link(source.c_str(), target.c_str()) != 0) return false;
  unlink(source.c_str());
  return true;
}

bool replaceFileContents(const std::u16string& path, const std::string& bytes) {
  const std::string target = utf16ToUtf8(path);
  const std::string temporary = target + ".tmp";
  unlink(temporary.c_str());  // a stale one, or a link someone left there
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool written = done == bytes.size() && fsync(fd) == 0;
  close(fd);
  if (!written || rename(temporary.c_str(), target.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool readFileContents(const std::u16string& path, std::string& bytes) {
  const int fd = open(utf16ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return false;
  }
  bytes.clear();
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool fileExists(const std::u16string& path) {
  struct stat status {};
  return lstat(utf16ToUtf8(path).c_str(), &status) == 0;
}

bool removeFile(const std::u16string& path) { return unlink(utf16ToUtf8(path).c_str()) == 0; }

bool folderWritableByOthers(const std::u16string& folder, uint32_t& mode) {
  struct stat status {};
  if (stat(utf16ToUtf8(folder).c_str(), &status) != 0) return false;
  mode = status.st_mode & 07777;
  return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool fileReadableByOthers(const std::u16string& path) {
  struct stat status {};
  if (stat(utf16ToUtf8(path).c_str(), &status) != 0) return false;
  return (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

}  // namespace platform
