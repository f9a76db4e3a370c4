// Linux implementation of platform/files.h.
#include "platform/files.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "common/text.h"
#include "platform/posix/private_file.h"

namespace platform {

namespace {

// The uid of the service's own account (the Debian package's system user
// "kelvasync"), or -1 when this system has none.
long serviceAccountUid() {
  const struct passwd* account = getpwnam(kServiceAccountName);
  return account != nullptr ? static_cast<long>(account->pw_uid) : -1;
}

// The folder part of a file path ("." for a bare name).
std::string folderOf(const std::string& name) {
  const size_t slash = name.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : name.substr(0, slash);
}

// Run as root in a folder that belongs to another account (the service's,
// as the package sets /var/log/kelvasync up), a file of the service is
// handed to that account: an administrator's console run must not leave a
// log, a lock or a status file that the service can no longer open.
void handToFolderOwner(int fd, const std::string& name, const struct stat& file) {
  if (geteuid() != 0) return;
  struct stat folder {};
  if (stat(folderOf(name).c_str(), &folder) != 0 || folder.st_uid == 0) return;
  if (file.st_uid != folder.st_uid || file.st_gid != folder.st_gid) {
    if (fchown(fd, folder.st_uid, folder.st_gid) != 0) {
      // Refused (a sandbox without the right): the file stays root's.
    }
  }
}

}  // namespace

int openPrivateFile(const std::u16string& path, int flags, mode_t mode) {
  const std::string name = utf16ToUtf8(path);
  // A symbolic link planted in the folder is never followed: the open fails.
  // Non-blocking, so that a FIFO in the file's place cannot hold the open
  // (and the process) until someone writes to it; anything but a regular
  // file is then refused. O_NONBLOCK does nothing to a regular file.
  const int fd = open(name.c_str(), flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    errno = ENXIO;  // as the open of a FIFO without a reader fails
    return -1;
  }
  // A file with another name elsewhere may be anyone's: a hard link planted
  // in a folder another account can write would have root append to, narrow
  // and hand over whatever file it names. (The kernel's protected_hardlinks
  // stops the planting on most systems; this does not rely on it.)
  if (status.st_nlink != 1 && geteuid() == 0) {
    close(fd);
    errno = EMLINK;
    return -1;
  }
  // A file left by an older version with wider permissions is narrowed: a
  // user who may open it could hold its lock.
  if ((status.st_mode & 07777 & ~mode) != 0) fchmod(fd, status.st_mode & mode);
  handToFolderOwner(fd, name, status);
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

bool replaceFileContents(const std::u16string& path, const std::string& bytes, uint32_t mode) {
  const std::string target = utf16ToUtf8(path);
  const std::string temporary = target + ".tmp";
  unlink(temporary.c_str());  // a stale one, or a link someone left there
  const mode_t bits = static_cast<mode_t>(mode & 0777);
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, bits);
  if (fd < 0) return false;
  // The umask (the unit's UMask=0027) narrows what open() gives; the mode
  // asked for is set explicitly, before any byte is written.
  if (fchmod(fd, bits) != 0) {
    close(fd);
    unlink(temporary.c_str());
    return false;
  }
  struct stat created {};
  if (fstat(fd, &created) == 0) handToFolderOwner(fd, temporary, created);
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

bool folderAcceptsWrites(const std::u16string& folder, const std::u16string& file) {
  if (access(utf16ToUtf8(folder).c_str(), W_OK | X_OK) != 0) return false;
  const std::string path = utf16ToUtf8(file);
  return access(path.c_str(), F_OK) != 0 || access(path.c_str(), W_OK) == 0;
}

bool folderWritableByOthers(const std::u16string& folder, uint32_t& mode) {
  struct stat status {};
  if (stat(utf16ToUtf8(folder).c_str(), &status) != 0) return false;
  mode = status.st_mode & 07777;
  return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool folderOwnedByStranger(const std::u16string& folder, std::u16string& owner) {
  struct stat status {};
  if (stat(utf16ToUtf8(folder).c_str(), &status) != 0) return false;
  if (status.st_uid == 0 || status.st_uid == geteuid() || static_cast<long>(status.st_uid) == serviceAccountUid()) {
    return false;
  }
  const struct passwd* account = getpwuid(status.st_uid);
  owner = account != nullptr ? utf8ToUtf16(account->pw_name) : asciiToUtf16(std::to_string(status.st_uid));
  return true;
}

bool fileReadableByOthers(const std::filesystem::path& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && modeReadableByOthers(status);
}

bool modeReadableByOthers(const struct stat& status) {
  if ((status.st_mode & S_IROTH) != 0) return true;
  if ((status.st_mode & S_IRGRP) == 0) return false;
  // The service's own group may read what the service must read.
  const struct group* service = getgrnam(kServiceAccountName);
  return service == nullptr || service->gr_gid != status.st_gid;
}

}  // namespace platform
