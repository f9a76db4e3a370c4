// ini-dump: reads the values named in a list of cases through the platform's
// INI reader and prints each value in hexadecimal, so that the output of the
// Linux build (our reader) and of the Windows build (GetPrivateProfileStringA,
// under Wine) can be compared byte for byte.
//
//   ini-dump <corpus folder> <cases file>
//
// Each line of the cases file is "file<TAB>section<TAB>key" (file relative to
// the corpus folder). Each output line is the case, with bytes outside
// printable ASCII written as \xNN, then a TAB and the value's bytes in hex
// (nothing for an empty value).
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/settings.h"

namespace {

std::string escaped(const std::string& text) {
  std::string out;
  char code[8];
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      std::snprintf(code, sizeof code, "\\x%02x", c);
      out += code;
    }
  }
  return out;
}

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: ini-dump <corpus folder> <cases file>\n");
    return 2;
  }
  std::ifstream casesFile(argv[2], std::ios::binary);
  if (!casesFile) {
    std::fprintf(stderr, "ini-dump: cannot read %s\n", argv[2]);
    return 2;
  }
  const std::string corpus = argv[1];
  std::string cases((std::istreambuf_iterator<char>(casesFile)), std::istreambuf_iterator<char>());
  std::istringstream lines(cases);
  std::string line;
  std::string out;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> fields = splitTabs(line);
    if (fields.size() != 3) {
      std::fprintf(stderr, "ini-dump: malformed case: %s\n", escaped(line).c_str());
      return 2;
    }
    const std::string value = platform::readPrivateProfileString(corpus + "/" + fields[0], fields[1], fields[2]);
    out += escaped(fields[0]) + "\t" + escaped(fields[1]) + "\t" + escaped(fields[2]) + "\t";
    char hex[4];
    for (unsigned char c : value) {
      std::snprintf(hex, sizeof hex, "%02x", c);
      out += hex;
    }
    out += "\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
