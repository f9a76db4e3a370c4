// Windows implementation of platform/console.h.
#include "platform/console.h"

#include <windows.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <cwchar>

#include "common/text.h"

namespace platform {

namespace {

// Standard output through the C runtime's descriptor 1, in binary mode so
// that the CR LF of a log line is written as it is (text mode would turn it
// into CR CR LF). Going through the descriptor also lets a redirection of
// descriptor 1 made inside the process take the output.
void writeStdout(const char* bytes, size_t count) {
  _setmode(_fileno(stdout), _O_BINARY);
  fwrite(bytes, 1, count, stdout);
  fflush(stdout);
}

std::atomic<bool> controlEventReceived{false};

// Ctrl+C and Ctrl+Break in a console run go through the same stop path as
// the service manager's stop control, instead of ending the process in the
// middle of a cycle.
BOOL WINAPI consoleControlHandler(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    controlEventReceived.store(true);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void setPortugueseLocale() { _wsetlocale(LC_ALL, L"portuguese-brazilian"); }

std::u16string currentLocaleName() {
  const wchar_t* name = _wsetlocale(LC_ALL, nullptr);
  return name != nullptr ? std::u16string(reinterpret_cast<const char16_t*>(name)) : std::u16string();
}

bool setConsoleFont() {
  CONSOLE_FONT_INFOEX font = {};
  font.cbSize = sizeof font;
  font.nFont = 0;
  font.dwFontSize.X = 11;
  font.dwFontSize.Y = 18;
  font.FontFamily = 0;
  font.FontWeight = 400;
  wcscpy(font.FaceName, L"Lucida Console");
  return SetCurrentConsoleFontEx(GetStdHandle(STD_OUTPUT_HANDLE), FALSE, &font) != FALSE;
}

void writeConsoleLine(std::u16string_view text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
    // A real console takes the wide text as it is.
    std::u16string line(text);
    line += u"\r\n";
    DWORD written = 0;
    WriteConsoleW(out, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
    return;
  }
  // Redirected output: UTF-8, the encoding any reader of a file expects.
  std::string bytes = utf16ToUtf8(text);
  bytes += "\r\n";
  writeStdout(bytes.data(), bytes.size());
}

void writeConsoleBytes(const char* bytes, size_t count) { writeStdout(bytes, count); }

bool standardErrorIsJournal() { return false; }

void writeJournalLine(int, std::string_view) {}

void writeErrorLine(std::u16string_view text) {
  std::string bytes = utf16ToUtf8(text);
  bytes += "\r\n";
  _setmode(_fileno(stderr), _O_BINARY);
  fwrite(bytes.data(), 1, bytes.size(), stderr);
  fflush(stderr);
}

void writeErrorLineAt(int, std::u16string_view text) { writeErrorLine(text); }

void prepareConsoleStopSources() { SetConsoleCtrlHandler(consoleControlHandler, TRUE); }

bool escapeKeyDown() { return (GetAsyncKeyState(VK_ESCAPE) & 0x8000) != 0; }

bool terminationSignalReceived() { return controlEventReceived.exchange(false); }

}  // namespace platform
