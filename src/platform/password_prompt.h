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
// A Windows console delivers UTF-16, which is converted to the ANSI code
// page, the 8-bit text the service itself uses; a Linux terminal's bytes are
// kept as typed.
bool readPasswordLine(const char* prompt, std::string& password, size_t maxBytes, bool& truncated,
                      PasswordInput& source);

}  // namespace platform
