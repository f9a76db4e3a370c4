// Linux implementation of platform/files.h.
#include "platform/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "common/text.h"

namespace platform {

FileHandle openExclusiveAppend(const std::u16string& path) {
  const std::string name = utf16ToUtf8(path);
  const int fd = open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return kInvalidFile;
  // No sharing: a second writer (this process or another) is refused, as a
  // Windows open with share mode 0 would be.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return kInvalidFile;
  }
  return fd;
}

void appendToFile(FileHandle file, const char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t n = write(static_cast<int>(file), bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
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

bool removeFile(const std::u16string& path) { return unlink(utf16ToUtf8(path).c_str()) == 0; }

bool fileReadableByOthers(const std::u16string& path) {
  struct stat status {};
  if (stat(utf16ToUtf8(path).c_str(), &status) != 0) return false;
  return (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

}  // namespace platform
