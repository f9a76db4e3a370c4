#include "common/text.h"

std::string narrowText(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (char16_t unit : wide) out.push_back(static_cast<char>(unit & 0xFF));
  return out;
}

void lowerCaseAscii(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

std::u16string widenText(std::string_view narrow) {
  std::u16string out;
  out.reserve(narrow.size());
  for (char byte : narrow) {
    const auto sign = static_cast<signed char>(byte);
    out.push_back(static_cast<char16_t>(static_cast<int16_t>(sign)));
  }
  return out;
}

std::u16string utf8ToUtf16(std::string_view utf8) {
  // A byte that cannot start a well-formed sequence, or a sequence that is
  // cut short, overlong, a surrogate or above U+10FFFF, gives one U+FFFD for
  // its first byte, and decoding resumes at the next byte. (The INI reader's
  // UTF-8 files are checked against the Windows reader with this rule.)
  std::u16string out;
  out.reserve(utf8.size());
  auto byteAt = [&](size_t k) { return static_cast<unsigned char>(utf8[k]); };
  size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char lead = byteAt(i);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    size_t extra = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, cp = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, cp = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, cp = lead & 0x07, minimum = 0x10000;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    size_t k = 1;
    while (k <= extra && i + k < utf8.size() && (byteAt(i + k) & 0xC0) == 0x80) {
      cp = (cp << 6) | (byteAt(i + k) & 0x3F);
      ++k;
    }
    if (k <= extra || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    i += k;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

void wipeBytes(void* bytes, size_t count) {
  volatile unsigned char* p = static_cast<unsigned char*>(bytes);
  for (size_t i = 0; i < count; ++i) p[i] = 0;
}

void wipe(std::string& text) {
  wipeBytes(text.data(), text.size());
  text.clear();
}

void wipe(std::u16string& text) {
  wipeBytes(text.data(), text.size() * sizeof(char16_t));
  text.clear();
}

void replaceControlBytes(std::string& text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D)
      c = '?';
  }
}

namespace {

// Windows-1252 from 0x80 to 0x9F; every other byte is the code point of the
// same value.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

char16_t windows1252Unit(unsigned char byte) {
  return (byte >= 0x80 && byte <= 0x9F) ? kWindows1252High[byte - 0x80] : byte;
}

char windows1252Byte(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (unsigned i = 0; i < 32; ++i) {
    if (kWindows1252High[i] == unit) return static_cast<char>(0x80 + i);
  }
  return '?';
}

std::u16string windows1252ToUtf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (char byte : bytes) out.push_back(windows1252Unit(static_cast<unsigned char>(byte)));
  return out;
}

std::string windows1252ToUtf8(std::string_view bytes) { return utf16ToUtf8(windows1252ToUtf16(bytes)); }

std::u16string asciiToUtf16(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}
