// Linux implementation of platform/settings.h: the INI file opened by its
// name on disk and read by the rules of common/ini_text.
#include "platform/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "common/ini_text.h"
#include "common/text.h"


namespace platform {

namespace {

// The name on disk of the 8-bit `path`: its Windows-1252 text under its
// UTF-8 name (a path narrowed from UTF-16), or else, when only that exists,
// its bytes as given (an argument naming a file whose name is no UTF-8, such
// as a folder named in Latin-1).
std::string fileNameOf(const std::string& path) {
  const std::string utf8 = utf16ToUtf8(windows1252ToUtf16(path));
  struct stat info {};
  if (utf8 != path && ::stat(utf8.c_str(), &info) != 0 && ::stat(path.c_str(), &info) == 0) return path;
  return utf8;
}

// Opens the file at the 8-bit `path` for reading: only a regular file, and
// without blocking (a FIFO would otherwise wait for a writer and hold the
// caller, the worker thread, for as long as it chooses). -1 when it cannot.
int openProfileFile(const std::string& path) {
  const std::string name = fileNameOf(path);
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string readPrivateProfileString(const std::string& path, const std::string& section, const std::string& key) {
  return readPrivateProfileString(path, section, key, kProfileValueMaxLength);
}

// The whole file at `path`; false when it cannot be opened.
bool readProfileFile(const std::string& path, std::string& bytes) {
  const int fd = openProfileFile(path);
  if (fd < 0) return false;
  char chunk[8192];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got > 0) {
      bytes.append(chunk, static_cast<size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // end of file, or an error: what was read so far is used
    }
  }
  ::close(fd);
  return true;
}

std::string readPrivateProfileString(const std::string& path, const std::string& section, const std::string& key,
                                     size_t maxLength) {
  std::string bytes;
  if (!readProfileFile(path, bytes)) return {};
  return ini::lookupProfileValue(bytes, section, key, maxLength);
}

std::vector<ProfileSection> readPrivateProfileNames(const std::string& path) {
  std::string bytes;
  if (!readProfileFile(path, bytes)) return {};
  return ini::listProfileNames(bytes);
}

bool isReadableProfileFile(const std::string& path) {
  const int fd = openProfileFile(path);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::u16string ansiToUtf16(std::string_view bytes) { return windows1252ToUtf16(bytes); }

std::string argumentToAnsi(std::string_view argument) {
  const std::u16string text = utf8ToUtf16(argument);
  std::string ansi;
  for (char16_t unit : text) {
    const char byte = windows1252Byte(unit);
    if (byte == '?' && unit != u'?') return std::string(argument);  // no UTF-8, or beyond Windows-1252
    ansi.push_back(byte);
  }
  return ansi;
}

std::filesystem::path profileFileSystemPath(const std::string& path) { return fileNameOf(path); }

}  // namespace platform
