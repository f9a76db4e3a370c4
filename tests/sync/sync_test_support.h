// Test support for the synchronization tests: a temporary program-files
// folder that receives the service's log, an INI file for the [hsm] values,
// and the log's messages read back line by line.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "runtime/process_state.h"
#include "config/config.h"
#include "hsm/hsm_settings.h"
#include "logging/log.h"

namespace synctest {

// One logged line, split into its level label and its message.
struct LoggedLine {
  std::string label;    // "Info", "Erro", "Atencao", "Console"
  std::string message;  // the text after the label, without CR LF
};

class ServiceFolder {
 public:
  ServiceFolder() {
    std::random_device random;
    root_ = std::filesystem::temp_directory_path() /
            ("kvsync-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(root_ / "Karvell Networks" / "HSM Karvell" / "data");
    programFilesDir = root_.u16string();
    serviceMode = false;  // Console lines reach the file too
    setConfigFilePathForTesting((root_ / "kelvasync.ini").string());
    forgetCachedHsmSettingsForTesting();
  }
  ~ServiceFolder() {
    setConfigFilePathForTesting("");
    forgetCachedHsmSettingsForTesting();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  ServiceFolder(const ServiceFolder&) = delete;
  ServiceFolder& operator=(const ServiceFolder&) = delete;

  // Writes the [hsm] section (the password encrypted as the INI holds it)
  // and forgets every operation's cached copy.
  void writeHsmSettings(const std::string& host, const std::string& user,
                        const std::string& password, const std::string& extra = "") {
    std::ofstream ini(root_ / "kelvasync.ini", std::ios::binary | std::ios::trunc);
    ini << "[hsm]\r\nhost=" << host << "\r\nusr=" << user
        << "\r\npwd=" << (password.empty() ? std::string() : encodeConfigPassword(password)) << "\r\n"
        << extra;
    ini.close();
    forgetCachedHsmSettingsForTesting();
  }

  // Every line logged so far; clearLog() starts afresh.
  std::vector<LoggedLine> lines() const {
    std::ifstream in(std::filesystem::path(logFilePath()), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::vector<LoggedLine> result;
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find("\r\n", at);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(at, end - at);
      at = end + 2;
      // "dd/mm/yyyy hh:mm:ss [thread] [label] message"
      const size_t open = line.find("] [");
      const size_t close = open == std::string::npos ? open : line.find("] ", open + 3);
      if (close == std::string::npos) continue;
      result.push_back({line.substr(open + 3, close - open - 3), line.substr(close + 2)});
    }
    return result;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> result;
    for (const LoggedLine& line : lines()) result.push_back(line.message);
    return result;
  }
  void clearLog() const {
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(logFilePath()), ignored);
  }
  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;
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
