// Linux implementation of platform/password_prompt.h.
#include "platform/password_prompt.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
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

void wipe(std::string& text) {
  volatile char* bytes = text.data();
  for (size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
  text.clear();
}

// The codeset of the user's locale as the environment names it ("UTF-8",
// "ISO-8859-1"; "ANSI_X3.4-1968" without one), asked without changing the
// process's own locale.
std::string terminalCodeset() {
  const locale_t user = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (user == static_cast<locale_t>(0)) return nl_langinfo(CODESET);
  std::string codeset = nl_langinfo_l(CODESET, user);
  freelocale(user);
  return codeset;
}

// Converts `text` in place from the terminal's codeset to Windows-1252.
// False, with `text` wiped, when a character has no Windows-1252 byte (or
// the input is not valid in that codeset); the intermediate copy is wiped
// either way.
bool toWindows1252(std::string& text) {
  const iconv_t converter = iconv_open("WINDOWS-1252", terminalCodeset().c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    wipe(text);
    return false;
  }
  std::string converted(text.size(), '\0');  // Windows-1252 never needs more bytes
  char* in = text.data();
  size_t inLeft = text.size();
  char* out = converted.data();
  size_t outLeft = converted.size();
  const bool ok = iconv(converter, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
  iconv_close(converter);
  converted.resize(converted.size() - outLeft);
  wipe(text);
  if (ok) text.swap(converted);
  wipe(converted);
  return ok;
}

}  // namespace

bool readPasswordLine(const char* prompt, std::string& password, size_t maxBytes, bool& truncated,
                      PasswordInput& source, bool& unconvertible) {
  unconvertible = false;
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
  if (ok && !toWindows1252(password)) unconvertible = true;
  return ok;
}

}  // namespace platform
