#include "unit_credentials.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <system_error>

namespace {

constexpr const char* kUnitName = "kelvasync.service";

// The folders of system units, highest precedence first, as systemd 252
// lists them (systemd-analyze unit-paths).
constexpr const char* kUnitFolders[] = {
    "/etc/systemd/system.control", "/run/systemd/system.control", "/run/systemd/transient",
    "/run/systemd/generator.early", "/etc/systemd/system",         "/etc/systemd/system.attached",
    "/run/systemd/system",         "/run/systemd/system.attached", "/run/systemd/generator",
    "/usr/local/lib/systemd/system", "/usr/lib/systemd/system",    "/lib/systemd/system",
    "/run/systemd/generator.late",
};

std::vector<std::string> unitFolders() {
  const char* configured = std::getenv("KELVASYNC_UNIT_DIR");
  if (configured != nullptr && *configured != '\0') return {configured};
  return {std::begin(kUnitFolders), std::end(kUnitFolders)};
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool isLoad(const std::string& setting) {
  return setting == "LoadCredential" || setting == "LoadCredentialEncrypted";
}
bool isSet(const std::string& setting) { return setting == "SetCredential" || setting == "SetCredentialEncrypted"; }

// Applies one file's [Service] lines to `unit`.
void applyUnitFile(const std::string& path, ServiceUnit& unit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  unit.files.push_back(path);
  std::istringstream lines(std::string(std::istreambuf_iterator<char>(in), {}));
  bool inService = false;
  std::string logical;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string bare = trimmed(line);
    // Comment lines inside a continued line are skipped, as systemd does.
    if (!logical.empty() && !bare.empty() && (bare[0] == '#' || bare[0] == ';')) continue;
    if (!bare.empty() && bare.back() == '\\') {
      logical += bare.substr(0, bare.size() - 1) + " ";
      continue;
    }
    logical += bare;
    const std::string text = trimmed(logical);
    logical.clear();
    if (text.empty() || text[0] == '#' || text[0] == ';') continue;
    if (text.front() == '[') {
      inService = text == "[Service]";
      continue;
    }
    const size_t equals = text.find('=');
    if (!inService || equals == std::string::npos) continue;
    const std::string key = trimmed(text.substr(0, equals));
    const std::string value = trimmed(text.substr(equals + 1));
    if (key == "User") {
      unit.user = value;
      continue;
    }
    if (!isLoad(key) && !isSet(key)) continue;
    if (value.empty()) {
      // An empty assignment resets the list of its kind.
      std::erase_if(unit.credentials, [&](const UnitCredential& c) {
        return isLoad(key) ? isLoad(c.setting) : isSet(c.setting);
      });
      continue;
    }
    const size_t colon = value.find(':');
    UnitCredential credential{key, value.substr(0, colon),
                              colon == std::string::npos ? std::string() : value.substr(colon + 1), path};
    if (key == "SetCredentialEncrypted") std::erase_if(credential.value, [](char c) { return c == ' ' || c == '\t'; });
    // A later line for the same name replaces the earlier one.
    std::erase_if(unit.credentials, [&](const UnitCredential& c) {
      return c.name == credential.name && isLoad(c.setting) == isLoad(key);
    });
    unit.credentials.push_back(std::move(credential));
  }
}

// A word a POSIX shell takes as it is, or in single quotes.
std::string shellWord(const std::string& word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
  });
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

ServiceUnit readServiceUnit() {
  ServiceUnit unit;
  std::error_code error;
  const std::vector<std::string> folders = unitFolders();
  for (const std::string& folder : folders) {
    const std::filesystem::path file = std::filesystem::path(folder) / kUnitName;
    if (std::filesystem::is_regular_file(file, error)) {
      unit.found = true;
      applyUnitFile(file.string(), unit);
      break;
    }
  }
  if (!unit.found) return unit;
  // Drop-ins by file name; the first folder (highest precedence) that has a
  // name keeps it.
  std::map<std::string, std::string> dropIns;
  for (const std::string& folder : folders) {
    for (const char* sub : {"kelvasync.service.d", "service.d"}) {
      const std::filesystem::path dir = std::filesystem::path(folder) / sub;
      if (!std::filesystem::is_directory(dir, error)) continue;
      for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 5 && name.ends_with(".conf") && entry.is_regular_file(error))
          dropIns.emplace(name, entry.path().string());
      }
    }
  }
  for (const auto& [name, path] : dropIns) applyUnitFile(path, unit);
  return unit;
}

const UnitCredential* findUnitCredential(const ServiceUnit& unit, const std::string& name) {
  for (const UnitCredential& credential : unit.credentials)
    if (credential.name == name) return &credential;
  return nullptr;
}

std::string describeUnitFiles(const ServiceUnit& unit) {
  std::string text;
  for (const std::string& file : unit.files) text += (text.empty() ? "" : ", ") + file;
  return text;
}

std::string tryAsServiceCommand(const ServiceUnit& unit, const std::vector<std::string>& names,
                                const std::string& program) {
  std::string command = "systemd-run --quiet --pipe --wait --collect";
  if (!unit.user.empty()) command += " -p " + shellWord("User=" + unit.user);
  // The product folder of a unit written by `kelvasync -i` for another place.
  const char* programFiles = std::getenv("KELVASYNC_PROGRAM_FILES");
  if (programFiles != nullptr && *programFiles != '\0')
    command += " -E " + shellWord(std::string("KELVASYNC_PROGRAM_FILES=") + programFiles);
  for (const std::string& name : names) {
    const UnitCredential* credential = findUnitCredential(unit, name);
    if (credential == nullptr) return {};
    const std::string value = credential->setting == "SetCredential" ? "<valor>" : credential->value;
    command += " -p " + shellWord(credential->setting + "=" + credential->name + (value.empty() ? "" : ":" + value));
  }
  return command + " " + shellWord(program);
}
