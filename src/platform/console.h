// Platform seam: the console of a console-mode run.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Sets the C runtime locale for all categories to Portuguese (Brazil):
// _wsetlocale(LC_ALL, L"portuguese-brazilian") on Windows; on Linux the
// first of pt_BR.ISO-8859-1, pt_BR.ISO8859-1, pt_BR that the system has.
// Failure leaves the locale as it was.
void setPortugueseLocale();

// The name of the C runtime locale now in force (the wide query for all
// categories with no new value).
std::u16string currentLocaleName();

// Sets the console font of standard output to Lucida Console 11x18 (Windows);
// Linux terminals choose their own font, so there it always fails.
bool setConsoleFont();

// Writes one line of the console banner with a line end, and flushes. The
// text is converted for the terminal (UTF-8 on Linux, the console's own
// wide output on Windows).
void writeConsoleLine(std::u16string_view text);

// Writes one line to standard error (UTF-8, with the platform's line end)
// and flushes: start-up failures and command-line mistakes, which must reach
// whoever started the program even when standard output is the log's echo.
void writeErrorLine(std::u16string_view text);

// Linux: one log line (its bytes, one per character, ending in CR LF) on
// standard error as UTF-8 with the "<priority>" prefix that systemd's
// journal reads (3 error, 4 warning). Nothing on Windows.
void writeJournalLine(int priority, std::string_view line);

// Writes bytes as they are to standard output and flushes (log echo).
void writeConsoleBytes(const char* bytes, size_t count);

// Prepares stop detection for a console run: on Linux SIGINT and SIGTERM are
// blocked in every thread (so that only the watcher consumes them) and a
// terminal on standard input is switched to unbuffered, unechoed input so a
// single ESC key press can be read; the terminal is restored at exit. A run
// in the background of its terminal ("kelvasync -c &") leaves the terminal
// alone until it is brought to the foreground. On Windows a console control
// handler takes Ctrl+C and Ctrl+Break.
// Must be called before any other thread exists.
void prepareConsoleStopSources();

// True when the ESC key is held at this moment (GetAsyncKeyState) or, on a
// Linux terminal, when the ESC key was pressed since the last call: a lone
// ESC byte, not the ESC that begins the sequence of an arrow, Home/End,
// function key or Alt+key.
bool escapeKeyDown();

// True when a termination request (SIGINT or SIGTERM on Linux, Ctrl+C or
// Ctrl+Break on Windows) arrived since the last call; consumes it.
bool terminationSignalReceived();

}  // namespace platform
