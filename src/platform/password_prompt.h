// Platform seam: reading a password typed by an operator (kelvasync-passwd).
#pragma once

#include <string>

namespace platform {

enum class PasswordInput { Terminal, Stream };

// Reads one line of standard input into `password`, without its line end
// (LF, or CR LF). From a terminal (a console on Windows) the prompt is shown
// on standard error and the typed characters are not echoed; the terminal's
// mode is restored afterwards, also when the read is interrupted. From a
// pipe or file nothing is shown and the bytes are taken as they are, zero
// bytes included. At most `maxBytes` bytes are kept; `truncated` tells
// whether the line was longer. Returns false when nothing could be read (end
// of input before any byte, or an error).
//
// Typed text becomes the 8-bit text the service reads passwords in: a
// Windows console's UTF-16 is converted to the ANSI code page, a Linux
// terminal's bytes from the codeset of the user's locale (LANG, LC_ALL,
// LC_CTYPE) to Windows-1252, the ANSI code page the Linux service uses. A
// typed character that has no byte there sets `unconvertible` and leaves
// the password empty. Bytes from a pipe or file are kept as they are.
bool readPasswordLine(const char* prompt, std::string& password, size_t maxBytes, bool& truncated,
                      PasswordInput& source, bool& unconvertible);

}  // namespace platform
