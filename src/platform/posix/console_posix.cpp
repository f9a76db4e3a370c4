// Linux implementation of platform/console.h.
#include "platform/console.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "common/text.h"
#include "platform/posix/stop_signals.h"

namespace platform {

namespace {

struct termios savedTerminal;
bool terminalInput = false;    // standard input is a terminal
bool terminalChanged = false;  // switched to unbuffered input, restored at exit

// How long a lone ESC waits for a following byte: a terminal sends the bytes
// of an escape sequence (arrow, Home/End, function key, Alt+key) together.
constexpr int kEscapeSequenceWaitMs = 50;

// Where the key stream stands between two reads: after an ESC, inside a
// control sequence (ESC [ ... final byte), or after ESC O (one more byte).
enum class KeyState { Text, Escape, ControlSequence, SingleShift };
KeyState keyState = KeyState::Text;

// True when standard input is the controlling terminal and another process
// group has it in the foreground (a run started with "&"). Such a job must
// neither read the terminal nor change its mode: either would stop it with
// SIGTTIN or SIGTTOU.
bool backgroundJob() {
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground > 0 && foreground != getpgrp();
}

// tcsetattr with SIGTTOU blocked, so that a job moved to the background
// after it changed the mode can still restore it.
bool setTerminalMode(const struct termios& mode) {
  sigset_t ttou;
  sigset_t previous;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &ttou, &previous);
  const bool set = tcsetattr(STDIN_FILENO, TCSANOW, &mode) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return set;
}

void restoreTerminal() {
  if (terminalChanged) setTerminalMode(savedTerminal);
}

// Switches a foreground terminal to unbuffered, unechoed input so a single
// ESC key press can be read.
void takeTerminalInput() {
  if (!terminalInput || terminalChanged || backgroundJob()) return;
  if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
  struct termios raw = savedTerminal;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (!setTerminalMode(raw)) return;
  terminalChanged = true;
  atexit(restoreTerminal);
}

// Waits up to `timeoutMs` for input and reads what is there; 0 when none.
ssize_t readInput(char* buffer, size_t size, int timeoutMs) {
  struct pollfd input {STDIN_FILENO, POLLIN, 0};
  if (poll(&input, 1, timeoutMs) <= 0 || (input.revents & POLLIN) == 0) return 0;
  const ssize_t n = read(STDIN_FILENO, buffer, size);
  return n > 0 ? n : 0;
}

// Advances the key stream by one byte; true when the byte shows that the ESC
// before it was a key press of its own (another ESC follows it).
bool advanceKeyState(unsigned char byte) {
  switch (keyState) {
    case KeyState::Text:
      if (byte == 0x1B) keyState = KeyState::Escape;
      return false;
    case KeyState::Escape:
      if (byte == 0x1B) return true;  // ESC held down: one ESC after another
      keyState = byte == '[' ? KeyState::ControlSequence : byte == 'O' ? KeyState::SingleShift : KeyState::Text;
      return false;
    case KeyState::ControlSequence:
      if (byte >= 0x20 && byte <= 0x3F) return false;  // parameters and intermediates
      keyState = byte == 0x1B ? KeyState::Escape : KeyState::Text;  // final byte (or a broken sequence)
      return false;
    case KeyState::SingleShift:
      keyState = KeyState::Text;
      return false;
  }
  return false;
}

void writeAll(const char* bytes, size_t count, int fd = STDOUT_FILENO) {
  while (count > 0) {
    const ssize_t n = write(fd, bytes, count);
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

void writeConsoleBytes(const char* bytes, size_t count) {
  // The log's bytes are Windows-1252; a terminal here speaks UTF-8.
  const std::string text = windows1252ToUtf8(std::string_view(bytes, count));
  writeAll(text.data(), text.size());
}

bool standardErrorIsJournal() {
  static const bool journal = [] {
    const char* stream = getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long device = 0, inode = 0;
    char extra = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &extra) != 2) return false;
    struct stat status {};
    if (fstat(STDERR_FILENO, &status) != 0) return false;
    return static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
  }();
  return journal;
}

void writeJournalLine(int priority, std::string_view line) {
  const bool journal = standardErrorIsJournal();
  if (!journal && priority > 4) return;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  std::string text = journal ? "<" + std::to_string(priority) + ">" : std::string();
  text += windows1252ToUtf8(line);
  text.push_back('\n');
  writeAll(text.data(), text.size(), STDERR_FILENO);
}

void writeErrorLine(std::u16string_view text) {
  std::string bytes = utf16ToUtf8(text);
  bytes.push_back('\n');
  writeAll(bytes.data(), bytes.size(), STDERR_FILENO);
}

void writeErrorLineAt(int priority, std::u16string_view text) {
  std::string bytes = standardErrorIsJournal() ? "<" + std::to_string(priority) + ">" : std::string();
  bytes += utf16ToUtf8(text);
  bytes.push_back('\n');
  writeAll(bytes.data(), bytes.size(), STDERR_FILENO);
}

void prepareConsoleStopSources() {
  blockStopSignals();
  terminalInput = isatty(STDIN_FILENO) != 0;
  takeTerminalInput();
}

bool escapeKeyDown() {
  // A job started in the background takes the terminal once it is brought
  // to the foreground; while in the background it leaves the input alone.
  takeTerminalInput();
  if (!terminalChanged || backgroundJob()) return false;
  bool escape = false;
  char buffer[64];
  for (;;) {
    // What has arrived; after a trailing ESC, a short wait for the rest of
    // its sequence.
    const ssize_t n = readInput(buffer, sizeof buffer, keyState == KeyState::Escape ? kEscapeSequenceWaitMs : 0);
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i) escape = advanceKeyState(static_cast<unsigned char>(buffer[i])) || escape;
  }
  if (keyState == KeyState::Escape) {  // nothing followed it: the ESC key itself
    keyState = KeyState::Text;
    escape = true;
  }
  return escape;
}

bool terminationSignalReceived() {
  const sigset_t set = stopSignals();
  const struct timespec now {0, 0};
  return sigtimedwait(&set, nullptr, &now) > 0;
}

}  // namespace platform
