// The codes a manual page lists under EXIT STATUS, for the tests that hold
// each program's exit-code header and its page to the same list.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kvtest {

// One ".TP" entry of the EXIT STATUS section whose tag starts with a
// number: the number and the rest of the tag ("3 UNKNOWN" gives 3 and
// "UNKNOWN"). `group` counts the ".PP" paragraphs before the entry, so that
// two lists in one section (a program's codes and its plug-in states) come
// apart.
struct ManPageCode {
  int code;
  std::string label;
  int group;
};

inline std::vector<ManPageCode> manPageExitCodes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string page((std::istreambuf_iterator<char>(in)), {});
  std::vector<ManPageCode> codes;
  const size_t start = page.find(".SH EXIT STATUS\n");
  if (start == std::string::npos) return codes;
  const size_t end = page.find("\n.SH ", start + 1);
  const std::string section = page.substr(start, end == std::string::npos ? std::string::npos : end - start);
  int group = 0;
  size_t at = 0;
  while (at < section.size()) {
    size_t next = section.find('\n', at);
    if (next == std::string::npos) next = section.size();
    const std::string line = section.substr(at, next - at);
    at = next + 1;
    if (line == ".PP") ++group;
    if (line != ".TP" || at >= section.size()) continue;
    next = section.find('\n', at);
    const std::string tag = section.substr(at, next - at);
    size_t digits = 0;
    while (digits < tag.size() && tag[digits] >= '0' && tag[digits] <= '9') ++digits;
    if (digits == 0) continue;
    codes.push_back({std::stoi(tag.substr(0, digits)), digits < tag.size() ? tag.substr(digits + 1) : "", group});
  }
  return codes;
}

}  // namespace kvtest
