// Windows implementation of platform/password_prompt.h.
#include <windows.h>

#include <cstring>

#include "platform/line_reader.h"
#include "platform/password_prompt.h"

namespace platform {
namespace {

bool readStreamLine(HANDLE input, std::string& line, size_t maxBytes, bool& truncated) {
  auto nextByte = [input]() -> int {
    unsigned char c;
    DWORD got = 0;
    return ReadFile(input, &c, 1, &got, nullptr) && got == 1 ? c : -1;
  };
  return assembleLine(nextByte, line, maxBytes, truncated);
}

// The console mode to restore when Ctrl+C ends the read.
HANDLE consoleInput = nullptr;
DWORD savedConsoleMode = 0;

BOOL WINAPI restoreOnBreak(DWORD) {
  if (consoleInput) SetConsoleMode(consoleInput, savedConsoleMode);
  return FALSE;  // let the default handler end the process
}

}  // namespace

bool readPasswordLine(const char* prompt, std::string& password, size_t maxBytes, bool& truncated,
                      PasswordInput& source, bool& unconvertible) {
  unconvertible = false;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input == INVALID_HANDLE_VALUE || input == nullptr || !GetConsoleMode(input, &mode)) {
    source = PasswordInput::Stream;
    return readStreamLine(input, password, maxBytes, truncated);
  }
  source = PasswordInput::Terminal;
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (prompt) WriteFile(error, prompt, static_cast<DWORD>(std::strlen(prompt)), &written, nullptr);

  consoleInput = input;
  savedConsoleMode = mode;
  SetConsoleCtrlHandler(restoreOnBreak, TRUE);
  SetConsoleMode(input, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
  std::wstring wide;
  bool any = false;
  bool ended = false;
  while (!ended) {
    wchar_t chunk[64];
    DWORD got = 0;
    if (!ReadConsoleW(input, chunk, 64, &got, nullptr) || got == 0) break;
    any = true;
    for (DWORD i = 0; i < got; ++i) {
      if (chunk[i] == L'\n') {
        ended = true;
        break;
      }
      if (chunk[i] != L'\r') wide.push_back(chunk[i]);
    }
  }
  SetConsoleMode(input, mode);
  SetConsoleCtrlHandler(restoreOnBreak, FALSE);
  consoleInput = nullptr;
  WriteFile(error, "\r\n", 2, &written, nullptr);

  password.clear();
  truncated = false;
  if (!wide.empty()) {
    // No best fit ("ā" silently as "a"): a character the code page lacks
    // is reported, not replaced. A UTF-8 ANSI code page holds every
    // character and takes neither option.
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, utf8 ? nullptr : &usedDefault);
    if (size > 0 && !usedDefault) {
      password.resize(static_cast<size_t>(size));
      WideCharToMultiByte(CP_ACP, flags, wide.data(), static_cast<int>(wide.size()), password.data(), size, nullptr,
                          nullptr);
    } else {
      unconvertible = true;
    }
    SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
  }
  if (password.size() > maxBytes) {
    password.resize(maxBytes);
    truncated = true;
  }
  return any;
}

}  // namespace platform
