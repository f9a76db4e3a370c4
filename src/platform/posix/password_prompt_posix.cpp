// Linux implementation of platform/password_prompt.h.
#include "platform/password_prompt.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/line_reader.h"

namespace platform {
namespace {

// The terminal mode to restore if a signal ends the read.
struct termios savedMode;
volatile sig_atomic_t modeSaved = 0;

void restoreAndReraise(int signal) {
  if (modeSaved) tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedMode);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Reads bytes up to LF or end of input. False when not even one byte (nor a
// line end) arrived.
bool readLine(std::string& line, size_t maxBytes, bool& truncated) {
  auto nextByte = []() -> int {
    for (;;) {
      unsigned char c;
      const ssize_t got = ::read(STDIN_FILENO, &c, 1);
      if (got < 0 && errno == EINTR) continue;
      return got == 1 ? c : -1;
    }
  };
  return assembleLine(nextByte, line, maxBytes, truncated);
}

}  // namespace

bool readPasswordLine(const char* prompt, std::string& password, size_t maxBytes, bool& truncated,
                      PasswordInput& source) {
  struct termios mode {};
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &mode) != 0) {
    source = PasswordInput::Stream;
    return readLine(password, maxBytes, truncated);
  }
  source = PasswordInput::Terminal;
  if (prompt) {
    const ssize_t ignored = ::write(STDERR_FILENO, prompt, std::strlen(prompt));
    (void)ignored;
  }
  savedMode = mode;
  modeSaved = 1;
  struct sigaction restore {}, oldInt {}, oldTerm {}, oldQuit {};
  restore.sa_handler = restoreAndReraise;
  sigemptyset(&restore.sa_mask);
  sigaction(SIGINT, &restore, &oldInt);
  sigaction(SIGTERM, &restore, &oldTerm);
  sigaction(SIGQUIT, &restore, &oldQuit);

  struct termios silent = mode;
  silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  silent.c_lflag |= ECHONL;  // the line end is still shown
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
  const bool ok = readLine(password, maxBytes, truncated);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode);

  modeSaved = 0;
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  sigaction(SIGQUIT, &oldQuit, nullptr);
  return ok;
}

}  // namespace platform
