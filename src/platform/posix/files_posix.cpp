// Linux implementation of platform/files.h.
#include "platform/files.h"

#include <fcntl.h>
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

}  // namespace platform
