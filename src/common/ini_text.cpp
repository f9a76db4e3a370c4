#include "common/ini_text.h"

#include "common/text.h"

namespace ini {
namespace {

// White space as the Windows reader sees it: the ASCII blanks and ^Z (a DOS
// end-of-file mark). A no-break space (0xA0) is not a blank.
bool isBlank(char16_t c) { return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x1A; }

// Names are compared without regard to case in ASCII only: "SEÇÃO" and
// "seção" are different names to the Windows reader.
char16_t foldCase(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c; }

bool sameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (foldCase(a[i]) != foldCase(b[i])) return false;
  }
  return true;
}

// A name or value ends at its first zero unit.
std::u16string_view untilZero(std::u16string_view text) {
  const size_t zero = text.find(u'\0');
  return zero == std::u16string_view::npos ? text : text.substr(0, zero);
}

std::u16string_view trimmed(std::u16string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::u16string decodeFile(std::string_view file) {
  std::u16string text;
  auto byteAt = [&](size_t i) { return static_cast<unsigned char>(file[i]); };
  if (file.size() >= 3 && byteAt(0) == 0xEF && byteAt(1) == 0xBB && byteAt(2) == 0xBF) {
    // UTF-8: every malformed byte becomes U+FFFD.
    return utf8ToUtf16(file.substr(3));
  }
  if (file.size() >= 2 && ((byteAt(0) == 0xFF && byteAt(1) == 0xFE) || (byteAt(0) == 0xFE && byteAt(1) == 0xFF))) {
    const bool little = byteAt(0) == 0xFF;
    // A last odd byte is not a whole unit and is ignored.
    for (size_t i = 2; i + 1 < file.size(); i += 2) {
      const unsigned lo = little ? byteAt(i) : byteAt(i + 1);
      const unsigned hi = little ? byteAt(i + 1) : byteAt(i);
      text.push_back(static_cast<char16_t>(lo | (hi << 8)));
    }
    return text;
  }
  text.reserve(file.size());
  for (size_t i = 0; i < file.size(); ++i) text.push_back(windows1252Unit(byteAt(i)));
  return text;
}

// The lines of decoded INI text, each without blanks around it; blank lines
// are skipped. Lines end at LF or CR.
class LineCursor {
 public:
  explicit LineCursor(std::u16string_view text) : text_(text) {}
  bool next(std::u16string_view& line) {
    while (next_ < text_.size()) {
      size_t end = text_.find_first_of(u"\r\n", next_);
      end = end == std::u16string_view::npos ? text_.size() : end;
      line = trimmed(text_.substr(next_, end - next_));
      next_ = end + 1;
      if (!line.empty()) return true;
    }
    return false;
  }

 private:
  std::u16string_view text_;
  size_t next_ = 0;
};

// The value as the reader hands it out: one pair of quotes removed, cut to
// the buffer, back in Windows-1252.
std::string copyValue(std::u16string_view value, size_t maxLength) {
  const size_t kBuffer = maxLength + 1;
  bool quoted = false;
  if (value.size() >= 2 && (value[0] == u'"' || value[0] == u'\'') && value.back() == value[0]) {
    quoted = true;
    value.remove_prefix(1);
  }
  std::u16string_view kept = value.substr(0, kBuffer - 1);
  // The closing quote is dropped as the last character of what was copied,
  // provided the quoted text (closing quote included) fit the buffer.
  if (quoted && kBuffer >= value.size() && !kept.empty()) kept.remove_suffix(1);
  std::string out;
  out.reserve(kept.size());
  // A zero unit inside a value does not end it silently: it becomes '?', so
  // that "maxremovals=" followed by a zero byte reads as a wrong value (which
  // blocks nothing), not as an empty one (no limit), and a host or password
  // holding one fails where it is used.
  for (char16_t unit : kept) out.push_back(unit == 0 ? '?' : windows1252Byte(unit));
  return out;
}

}  // namespace

std::string lookupProfileValue(std::string_view file, std::string_view section, std::string_view key,
                               size_t maxLength) {
  const std::u16string sectionWide = windows1252ToUtf16(section);
  const std::u16string keyWide = windows1252ToUtf16(key);
  const std::u16string_view wantedSection = trimmed(untilZero(sectionWide));
  const std::u16string_view wantedKey = trimmed(untilZero(keyWide));

  const std::u16string text = decodeFile(file);
  LineCursor lines(text);
  // The lines before the first header form a section without a name.
  bool inSection = wantedSection.empty();  // inside the first section of the wanted name
  for (std::u16string_view line; lines.next(line);) {

    if (line[0] == u'[') {
      const size_t close = line.rfind(u']');
      if (close != std::u16string_view::npos) {
        if (inSection) return {};  // only the first section of the name is searched
        const std::u16string_view name = trimmed(untilZero(line.substr(1, close - 1)));
        inSection = sameName(name, wantedSection);
        continue;
      }
    }
    if (!inSection) continue;

    const size_t equals = line.find(u'=');
    if (equals == std::u16string_view::npos) {
      // A key without a value: it matches, and reads as empty.
      if (sameName(untilZero(line), wantedKey)) return {};
      continue;
    }
    std::u16string_view name = line.substr(0, equals);
    while (!name.empty() && isBlank(name.back())) name.remove_suffix(1);
    if (!sameName(untilZero(name), wantedKey)) continue;
    std::u16string_view value = line.substr(equals + 1);
    while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
    return copyValue(value, maxLength);
  }
  return {};
}

std::vector<IniSection> listProfileNames(std::string_view file) {
  const std::u16string text = decodeFile(file);
  LineCursor lines(text);
  const auto toAnsi = [](std::u16string_view name) {
    std::string out;
    for (char16_t unit : untilZero(name)) out.push_back(windows1252Byte(unit));
    return out;
  };
  std::vector<IniSection> sections(1);  // the lines before the first header, dropped below
  for (std::u16string_view line; lines.next(line);) {
    if (line[0] == u';' || line[0] == u'#') continue;
    if (line[0] == u'[') {
      const size_t close = line.rfind(u']');
      if (close != std::u16string_view::npos) {
        sections.push_back({toAnsi(trimmed(untilZero(line.substr(1, close - 1)))), {}});
        continue;
      }
    }
    // A line without '=' reads as an empty value and is no setting: the
    // Windows reader does not list it either.
    const size_t equals = line.find(u'=');
    if (equals == std::u16string_view::npos) continue;
    std::u16string_view name = line.substr(0, equals);
    while (!name.empty() && isBlank(name.back())) name.remove_suffix(1);
    sections.back().keys.push_back(toAnsi(name));
  }
  sections.erase(sections.begin());
  return sections;
}

}  // namespace ini
