#include "service_environment.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/environment.h"

namespace {

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool validName(const std::string& name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> parseEnvironmentFile(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> assignments;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    line = trimmed(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = trimmed(line.substr(0, equals));
    std::string value = trimmed(line.substr(equals + 1));
    if (!validName(name)) continue;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    bool replaced = false;  // a later line for the same name wins
    for (auto& assignment : assignments) {
      if (assignment.first == name) {
        assignment.second = value;
        replaced = true;
      }
    }
    if (!replaced) assignments.emplace_back(name, value);
  }
  return assignments;
}

void adoptServiceEnvironment() {
  const std::string path = platform::serviceEnvironmentFile();
  if (path.empty()) return;
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const auto& [name, value] : parseEnvironmentFile(text)) platform::setEnvironmentVariable(name, value, false);
}
