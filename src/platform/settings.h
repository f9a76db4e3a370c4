// Platform seam: the INI (private-profile) reader.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/ini_text.h"

namespace platform {

// Longest value the reader hands back; longer values are cut to this many
// bytes (a 256-byte buffer, terminator included).
constexpr size_t kProfileValueMaxLength = kIniValueMaxLength;

// The value of `key` in `section` of the INI file at `path`, as 8-bit text of
// at most kProfileValueMaxLength bytes; empty when the file, the section or
// the key is missing.
//
// Windows: GetPrivateProfileStringA(section, key, no default, 256-byte zeroed
// buffer, 256, path), the text up to the first zero byte; the call's own
// result is not examined.
// Linux: our own reader (common/ini_text.h) with the same observable rules:
// section and key names compared without regard to case, the first matching
// section and within it the first matching key win, blanks around names and
// values and one pair of surrounding quotes removed, LF or CR LF line ends.
// The 8-bit path is read as Windows-1252 text, as Windows reads it in the
// ANSI code page, and opened under its UTF-8 name, so that a folder name
// narrowed from UTF-16 (such as one with "ç") is found on both platforms;
// when no file has that name but one has the path's bytes as they are (a
// folder named in Latin-1, passed by argumentToAnsi), that one is read.
// Anything but a regular file (a folder, a FIFO, a device) reads as missing.
std::string readPrivateProfileString(const std::string& path, const std::string& section,
                                     const std::string& key);

// The same value read with room for `maxLength` bytes, for a caller that
// must know how long an over-long value really is.
std::string readPrivateProfileString(const std::string& path, const std::string& section,
                                     const std::string& key, size_t maxLength);

// One section of the INI file with the names of its keys (common/ini_text.h).
using ProfileSection = ::IniSection;

// Every section of the file at `path` with its key names; empty when the
// file cannot be read. Windows: GetPrivateProfileSectionNamesA and
// GetPrivateProfileStringA with no key name.
std::vector<ProfileSection> readPrivateProfileNames(const std::string& path);

// True when `path` names a regular file that this process may open for
// reading. A folder, a device or a file without read permission is false.
bool isReadableProfileFile(const std::string& path);

// 8-bit text from the INI file decoded as the ANSI code page, as UTF-16:
// MultiByteToWideChar(CP_ACP) on Windows; Windows-1252 on Linux (the ANSI
// code page of the systems the service serves), so that 0x80..0x9F give
// €, Š, – and their kin rather than C1 controls, and 0xA0..0xFF the
// characters of the same value.
std::u16string ansiToUtf16(std::string_view bytes);

// A command-line argument naming a file, as the 8-bit (ANSI) path the
// reader takes: Windows hands narrow arguments in the ANSI code page
// already; a Linux argument in UTF-8 becomes Windows-1252, and one that is
// no UTF-8 (a Latin-1 name) or holds a character Windows-1252 lacks keeps
// its bytes as given, the name the file system knows it by.
std::string argumentToAnsi(std::string_view argument);

// The file the reader opens for the 8-bit `path`, for the file system's own
// questions (does it exist, who may read it): Linux, the name chosen as
// readPrivateProfileString chooses it; Windows, the path in the ANSI code
// page as UTF-16.
std::filesystem::path profileFileSystemPath(const std::string& path);

}  // namespace platform
