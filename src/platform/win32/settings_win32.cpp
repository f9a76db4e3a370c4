// The INI reader on Windows: GetPrivateProfileStringA, and the ANSI code
// page its values are written in.
#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/settings.h"

namespace platform {

std::string readPrivateProfileString(const std::string& path, const std::string& section, const std::string& key) {
  return readPrivateProfileString(path, section, key, kProfileValueMaxLength);
}

std::string readPrivateProfileString(const std::string& path, const std::string& section, const std::string& key,
                                     size_t maxLength) {
  std::vector<char> buffer(maxLength + 1, '\0');
  const DWORD size = static_cast<DWORD>(buffer.size());
  // The result is the buffer's text; the call's return value adds nothing
  // (a missing file, section or key leaves the buffer empty).
  GetPrivateProfileStringA(section.c_str(), key.c_str(), nullptr, buffer.data(), size, path.c_str());
  return std::string(buffer.data(), strnlen(buffer.data(), buffer.size() - 1));
}

namespace {

// The list of zero-terminated names that one of the profile calls writes
// (GetPrivateProfileSectionNamesA, or GetPrivateProfileStringA with no key),
// with a buffer grown until the whole list fits.
template <typename Call>
std::vector<std::string> profileNameList(Call call) {
  for (DWORD size = 4096; size <= (1u << 24); size *= 4) {
    std::vector<char> buffer(size, '\0');
    const DWORD written = call(buffer.data(), size);
    if (written + 2 >= size) continue;  // cut short: the list did not fit
    std::vector<std::string> names;
    for (const char* name = buffer.data(); *name != '\0' && name < buffer.data() + written;
         name += std::strlen(name) + 1) {
      names.emplace_back(name);
    }
    return names;
  }
  return {};
}

}  // namespace

std::vector<ProfileSection> readPrivateProfileNames(const std::string& path) {
  std::vector<ProfileSection> sections;
  const std::vector<std::string> names = profileNameList(
      [&](char* buffer, DWORD size) { return GetPrivateProfileSectionNamesA(buffer, size, path.c_str()); });
  for (const std::string& name : names) {
    ProfileSection section{name, {}};
    for (std::string& key : profileNameList([&](char* buffer, DWORD size) {
           return GetPrivateProfileStringA(name.c_str(), nullptr, "", buffer, size, path.c_str());
         })) {
      if (!key.empty() && key[0] != ';' && key[0] != '#') section.keys.push_back(std::move(key));
    }
    sections.push_back(std::move(section));
  }
  return sections;
}

bool isReadableProfileFile(const std::string& path) {
  // A folder cannot be opened this way (no FILE_FLAG_BACKUP_SEMANTICS).
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool regular = GetFileType(file) == FILE_TYPE_DISK;
  CloseHandle(file);
  return regular;
}

std::string argumentToAnsi(std::string_view argument) { return std::string(argument); }

std::filesystem::path profileFileSystemPath(const std::string& path) {
  const std::u16string wide = ansiToUtf16(path);
  return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
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
