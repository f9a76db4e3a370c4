// A small, type-safe printf-style formatter over UTF-16 text.
//
// The log formats use only %d, %x and %s (and %02d / %04d for the time
// stamp). The platforms' wide printf functions disagree on what "%s" means in
// a wide format (MSVCRT: a wide string; C99 and MinGW's ANSI stdio: a narrow
// one), so the service formats with this one on every platform. Arguments are
// checked at run time against their conversion: a missing or mismatched
// argument prints "(?)" instead of reading memory it should not.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class FormatArg {
 public:
  enum class Kind { Integer, Text };
  FormatArg(int value) : kind_(Kind::Integer), integer_(value) {}
  FormatArg(long value) : kind_(Kind::Integer), integer_(value) {}
  FormatArg(long long value) : kind_(Kind::Integer), integer_(value) {}
  FormatArg(unsigned value) : kind_(Kind::Integer), integer_(value) {}
  FormatArg(unsigned long value) : kind_(Kind::Integer), integer_(static_cast<int64_t>(value)) {}
  FormatArg(unsigned long long value) : kind_(Kind::Integer), integer_(static_cast<int64_t>(value)) {}
  FormatArg(std::u16string_view text) : kind_(Kind::Text), text_(text) {}
  FormatArg(const std::u16string& text) : kind_(Kind::Text), text_(text) {}
  FormatArg(const char16_t* text) : kind_(Kind::Text), text_(text ? text : u"") {}

  Kind kind() const { return kind_; }
  int64_t integer() const { return integer_; }
  std::u16string_view text() const { return text_; }

 private:
  Kind kind_;
  int64_t integer_ = 0;
  std::u16string_view text_;
};

// Appends the formatted text to `out`. Supported: %%, and %d, %u, %x, %s with
// an optional '0' flag and a width (as in %02d).
void formatWideInto(std::u16string& out, std::u16string_view format, std::span<const FormatArg> args);

template <typename... Args>
std::u16string formatWide(std::u16string_view format, const Args&... args) {
  const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
  std::u16string out;
  formatWideInto(out, format, std::span<const FormatArg>(list, sizeof...(Args)));
  return out;
}
