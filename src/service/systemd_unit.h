// The systemd unit that `kelvasync -i` writes on Linux, made from the
// template packaging/systemd/kelvasync.service.in (compiled in), which the
// Debian package ships too.
#pragma once

#include <array>
#include <string>
#include <string_view>

// The folders the unit hides from the service, each with the setting that
// hides it. A product folder under one of them (a test installation) gets a
// unit without that setting; a CA file or keytab there is one the service
// cannot read.
struct HiddenFolder {
  std::string_view prefix;   // "/home/"
  std::string_view setting;  // "ProtectHome"
};
inline constexpr std::array<HiddenFolder, 5> kFoldersTheUnitHides = {{
    {"/home/", "ProtectHome"},
    {"/root/", "ProtectHome"},
    {"/run/user/", "ProtectHome"},
    {"/tmp/", "PrivateTmp"},
    {"/var/tmp/", "PrivateTmp"},
}};
// The folder of kFoldersTheUnitHides that `path` lies in; empty when none.
std::string_view folderTheUnitHides(std::string_view path);

// The unit's text for the program at `program` (UTF-8), whose data folder is
// `dataFolder`; `programFiles`, when not empty, goes into the unit's
// environment as KELVASYNC_PROGRAM_FILES.
std::string systemdUnitText(std::u16string_view description, std::u16string_view displayName,
                            const std::string& program, const std::string& programFiles,
                            const std::string& dataFolder);
