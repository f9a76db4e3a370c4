#include "common/format.h"

namespace {

void appendPadded(std::u16string& out, std::u16string_view digits, bool negative, size_t width, bool zeroPad) {
  const size_t length = digits.size() + (negative ? 1 : 0);
  const size_t pad = width > length ? width - length : 0;
  if (!zeroPad) out.append(pad, u' ');
  if (negative) out.push_back(u'-');
  if (zeroPad) out.append(pad, u'0');
  out.append(digits);
}

std::u16string digitsOf(uint64_t value, unsigned base) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  std::u16string reversed;
  do {
    reversed.push_back(kDigits[value % base]);
    value /= base;
  } while (value != 0);
  return std::u16string(reversed.rbegin(), reversed.rend());
}

}  // namespace

void formatWideInto(std::u16string& out, std::u16string_view format, std::span<const FormatArg> args) {
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    const char16_t c = format[i];
    if (c != u'%' || i + 1 >= format.size()) {
      out.push_back(c);
      continue;
    }
    size_t j = i + 1;
    if (format[j] == u'%') {
      out.push_back(u'%');
      i = j;
      continue;
    }
    bool zeroPad = false;
    if (format[j] == u'0') {
      zeroPad = true;
      ++j;
    }
    size_t width = 0;
    while (j < format.size() && format[j] >= u'0' && format[j] <= u'9') {
      width = width * 10 + (format[j] - u'0');
      if (width > 64) width = 64;  // a width is for alignment, never for bulk
      ++j;
    }
    if (j >= format.size()) {  // a dangling conversion is printed as it stands
      out.append(format.substr(i));
      return;
    }
    const char16_t conversion = format[j];
    const size_t start = i;
    i = j;
    const FormatArg* arg = next < args.size() ? &args[next] : nullptr;
    if (conversion != u'd' && conversion != u'u' && conversion != u'x' && conversion != u's') {
      out.append(format.substr(start, j - start + 1));  // unknown: printed as written
      continue;
    }
    ++next;
    if (arg == nullptr) {
      out.append(u"(?)");
      continue;
    }
    if (conversion == u's') {
      if (arg->kind() != FormatArg::Kind::Text) {
        out.append(u"(?)");
        continue;
      }
      const std::u16string_view text = arg->text();
      if (width > text.size()) out.append(width - text.size(), u' ');
      out.append(text);
      continue;
    }
    if (arg->kind() != FormatArg::Kind::Integer) {
      out.append(u"(?)");
      continue;
    }
    const int64_t value = arg->integer();
    if (conversion == u'd') {
      // %d prints a 32-bit int, as the C formatter does for an int argument.
      const auto v = static_cast<int32_t>(value);
      const bool negative = v < 0;
      const uint64_t magnitude = negative ? static_cast<uint64_t>(-static_cast<int64_t>(v)) : static_cast<uint64_t>(v);
      appendPadded(out, digitsOf(magnitude, 10), negative, width, zeroPad);
    } else {
      const auto v = static_cast<uint32_t>(value);
      appendPadded(out, digitsOf(v, conversion == u'x' ? 16 : 10), false, width, zeroPad);
    }
  }
}
