// Test support for the synchronization tests: the product folder of
// tests/support with an INI file for the [hsm] values, and lookups in the
// log's messages.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "config/config.h"
#include "support/service_files.h"

namespace synctest {

using kvtest::LoggedLine;

// The product folder of kvtest, with the [hsm] section written as the
// synchronization tests need it.
class ServiceFolder : public kvtest::ProductFolder {
 public:
  ServiceFolder() : kvtest::ProductFolder("kvsync") {}

  // Writes the [hsm] section (the password encrypted as the INI holds it)
  // and forgets every operation's cached copy.
  void writeHsmSettings(const std::string& host, const std::string& user,
                        const std::string& password, const std::string& extra = "") const {
    writeIni("[hsm]\r\nhost=" + host + "\r\nusr=" + user +
             "\r\npwd=" + (password.empty() ? std::string() : encodeConfigPassword(password)) + "\r\n" + extra);
  }
};

inline size_t countOf(const std::vector<std::string>& messages, const std::string& text) {
  return static_cast<size_t>(std::count(messages.begin(), messages.end(), text));
}
inline bool contains(const std::vector<std::string>& messages, const std::string& text) {
  return countOf(messages, text) != 0;
}
// The label of the first line with exactly this message, empty when none.
inline std::string labelOf(const std::vector<LoggedLine>& lines, const std::string& message) {
  for (const LoggedLine& line : lines)
    if (line.message == message) return line.label;
  return {};
}

}  // namespace synctest
