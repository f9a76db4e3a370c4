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

// The same, for a line that the journal must file at `priority` (3 for a
// start refused): with the "<priority>" prefix when standard error is the
// journal (Linux), plain otherwise.
void writeErrorLineAt(int priority, std::u16string_view text);

// Linux: whether standard error is systemd's journal: the device and inode
// that JOURNAL_STREAM names are those of file descriptor 2 (systemd sets it
// for a unit whose output goes to the journal; a terminal, a file or a pipe
// of a shell is none). Decided once per process. False on Windows.
bool standardErrorIsJournal();

// Linux: one log line (its Windows-1252 bytes, ending in CR LF) on
// standard error as UTF-8. When standard error is the journal, with the
// "<priority>" prefix that the journal reads (3 error, 4 warning, 6 info);
// otherwise without it, and only for priorities 3 and 4 (a plain service
// run whose standard error is a terminal or a file gets its Erro and
// Atencao lines, never a "<3>"). Nothing on Windows.
void writeJournalLine(int priority, std::string_view line);

// Writes one log line to standard output (the log's echo): on Windows its
// bytes as they are, on Linux decoded as Windows-1252 into UTF-8, so that
// 0x80..0x9F show as the letters they are (Œ, Ÿ, ›) and never reach a
// terminal as C1 controls.
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
