// The INI reader on Windows: GetPrivateProfileStringA.
#include <windows.h>

#include <cstring>

#include "platform/settings.h"

namespace platform {

std::string readPrivateProfileString(const std::string& path, const std::string& section, const std::string& key) {
  char buffer[kProfileValueMaxLength + 1] = {};
  // The result is the buffer's text; the call's return value adds nothing
  // (a missing file, section or key leaves the buffer empty).
  GetPrivateProfileStringA(section.c_str(), key.c_str(), nullptr, buffer, sizeof buffer, path.c_str());
  return std::string(buffer, strnlen(buffer, sizeof buffer - 1));
}

}  // namespace platform
