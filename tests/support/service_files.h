// Test support for the service's own files: a temporary program-files folder
// holding the product's folder, the log read back line by line, and the
// process-wide state that a test changes put back. Header-only, for the unit
// tests beside the code, the process tests and the benchmarks alike.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "config/config.h"
#include "hsm/hsm_settings.h"
#include "runtime/process_state.h"
#include "runtime/stop_flag.h"

namespace kvtest {

// The whole content of a file; empty when it cannot be read.
inline std::string readFileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The product's folder (kProductFolder) under a program-files folder.
inline std::filesystem::path productFolderUnder(const std::filesystem::path& programFiles) {
  std::filesystem::path path = programFiles;
  std::u16string part;
  for (char16_t c : std::u16string(kProductFolder) + u"\\") {
    if (c != u'\\') {
      part.push_back(c);
    } else if (!part.empty()) {
      path /= part;
      part.clear();
    }
  }
  return path;
}

// One line of the log: "dd/mm/yyyy hh:mm:ss [thread] [label] message" CR LF.
struct LoggedLine {
  std::string label;    // "Info", "Erro", "Atencao", "Console", "Desconhecido" or empty
  std::string message;  // the text after the label, without CR LF
  bool wellFormed = true;  // the line has the layout above
};

// The lines of a log's text. A line without the layout is kept, whole, as
// its message and marked not well formed.
inline std::vector<LoggedLine> parseLog(const std::string& text) {
  static const std::regex layout(R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d \[[0-9a-f]+\] \[([A-Za-z]*)\] (.*)$)");
  std::vector<LoggedLine> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    const bool terminated = end != std::string::npos;
    if (!terminated) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + (terminated ? 2 : 0);
    std::smatch match;
    if (terminated && std::regex_match(line, match, layout)) {
      lines.push_back({match[1], match[2], true});
    } else {
      lines.push_back({{}, line, false});
    }
  }
  return lines;
}

// The messages of the log's lines, in order.
inline std::vector<std::string> logMessages(const std::string& text) {
  std::vector<std::string> messages;
  for (const LoggedLine& line : parseLog(text)) messages.push_back(line.message);
  return messages;
}

// A temporary program-files folder with the product's folder and its data
// folder, unique per process and instance. While it lives the process's
// programFilesDir points at it and the INI path is its kelvasync.ini;
// console mode is set, so that Console lines reach the file. When it goes,
// those values, the stop flag and every HSM operation's cached settings are
// put back, and the folder is removed.
class ProductFolder {
 public:
  explicit ProductFolder(const std::string& tag = "kv") {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root_ = std::filesystem::temp_directory_path() /
            (tag + "-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(data());
    programFilesDir = root_.u16string();
    serviceMode = false;
    setConfigFilePathForTesting(ini().string());
    forgetCachedHsmSettingsForTesting();
  }
  ~ProductFolder() {
    setConfigFilePathForTesting("");
    forgetCachedHsmSettingsForTesting();
    directorySettings = DirectorySettings{};
    serviceMode = false;
    programFilesDir.clear();
    storeStopRequested(false);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  ProductFolder(const ProductFolder&) = delete;
  ProductFolder& operator=(const ProductFolder&) = delete;

  // The program-files folder, the product's folder under it, its data
  // folder, the INI file and the log.
  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path product() const { return productFolderUnder(root_); }
  std::filesystem::path data() const { return product() / "data"; }
  std::filesystem::path ini() const { return product() / "kelvasync.ini"; }
  std::filesystem::path log() const { return data() / "kelvasync.log"; }

  void writeIni(const std::string& text) const {
    std::ofstream(ini(), std::ios::binary | std::ios::trunc) << text;
    forgetCachedHsmSettingsForTesting();
  }
  std::string logText() const { return readFileText(log()); }
  std::vector<LoggedLine> lines() const { return parseLog(logText()); }
  std::vector<std::string> messages() const { return logMessages(logText()); }
  // Each line as "[label] message", without its time stamp and thread.
  std::vector<std::string> labelledLines() const {
    std::vector<std::string> labelled;
    for (const LoggedLine& line : lines())
      labelled.push_back(line.wellFormed ? "[" + line.label + "] " + line.message : line.message);
    return labelled;
  }
  void clearLog() const {
    std::error_code ignored;
    std::filesystem::remove(log(), ignored);
  }

 private:
  std::filesystem::path root_;
};

}  // namespace kvtest
