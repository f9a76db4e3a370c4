// Assembles one line from a byte source, for the password prompt of both
// platforms (which differ only in how a byte is read).
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Reads bytes from `nextByte` (returns the byte, or -1 at the end of input
// or on an error) up to LF. A CR before the LF is dropped. At most
// `maxBytes` bytes are kept; `truncated` tells whether the line was longer.
// False when not even one byte (nor a line end) arrived.
template <typename NextByte>
bool assembleLine(NextByte nextByte, std::string& line, size_t maxBytes, bool& truncated) {
  line.clear();
  truncated = false;
  bool any = false;
  for (int c = nextByte(); c >= 0; c = nextByte()) {
    any = true;
    if (c == '\n') break;
    if (line.size() < maxBytes + 1) {
      line.push_back(static_cast<char>(c));  // one byte beyond the limit, to tell CR LF from a long line
    } else {
      truncated = true;
    }
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > maxBytes) {
    line.resize(maxBytes);
    truncated = true;
  }
  return any;
}

}  // namespace platform
