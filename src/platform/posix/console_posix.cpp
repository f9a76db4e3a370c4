// Linux implementation of platform/console.h.
#include "platform/console.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "common/text.h"

namespace platform {

namespace {

struct termios savedTerminal;
bool terminalChanged = false;

void restoreTerminal() {
  if (terminalChanged) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
}

void writeAll(const char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t n = write(STDOUT_FILENO, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
}

}  // namespace

void setPortugueseLocale() {
  for (const char* name : {"pt_BR.ISO-8859-1", "pt_BR.ISO8859-1", "pt_BR"}) {
    if (setlocale(LC_ALL, name) != nullptr) return;
  }
}

std::u16string currentLocaleName() {
  const char* name = setlocale(LC_ALL, nullptr);
  return utf8ToUtf16(name != nullptr ? name : "");
}

bool setConsoleFont() { return false; }

void writeConsoleLine(std::u16string_view text) {
  std::string bytes = utf16ToUtf8(text);
  bytes.push_back('\n');
  writeAll(bytes.data(), bytes.size());
}

void writeConsoleBytes(const char* bytes, size_t count) { writeAll(bytes, count); }

void prepareConsoleStopSources() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
    struct termios raw = savedTerminal;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
      terminalChanged = true;
      atexit(restoreTerminal);
    }
  }
}

bool escapeKeyDown() {
  if (!terminalChanged) return false;
  bool escape = false;
  struct pollfd input {STDIN_FILENO, POLLIN, 0};
  while (poll(&input, 1, 0) > 0 && (input.revents & POLLIN) != 0) {
    char buffer[64];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) escape = escape || buffer[i] == 0x1B;
  }
  return escape;
}

bool terminationSignalReceived() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  const struct timespec now {0, 0};
  return sigtimedwait(&set, nullptr, &now) > 0;
}

}  // namespace platform
