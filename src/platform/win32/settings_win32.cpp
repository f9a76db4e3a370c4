// The INI reader on Windows: GetPrivateProfileStringA, and the ANSI code
// page its values are written in.
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

std::u16string ansiToUtf16(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int length = static_cast<int>(bytes.size());
  const int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
  if (units <= 0) return {};
  std::u16string text(static_cast<size_t>(units), u'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, reinterpret_cast<wchar_t*>(text.data()), units);
  return text;
}

}  // namespace platform
