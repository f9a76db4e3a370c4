#include "service/systemd_unit.h"

#include "common/text.h"
#include "service/exit_codes.h"
#include "systemd_unit_template.h"

namespace {

// One double-quoted word of a unit file: systemd removes the quotes and the
// backslash escapes, and expands "%" specifiers in ExecStart= and
// Environment=, so a literal "%" is written as "%%".
std::string quoteForUnit(const std::string& value) {
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    if (c == '%') quoted.push_back('%');
    quoted.push_back(c);
  }
  return quoted + "\"";
}

void replace(std::string& text, std::string_view placeholder, const std::string& value) {
  for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
    text.replace(at, placeholder.size(), value);
}

}  // namespace

std::string_view folderTheUnitHides(std::string_view path) {
  for (const HiddenFolder& folder : kFoldersTheUnitHides)
    if (path.substr(0, folder.prefix.size()) == folder.prefix) return folder.prefix;
  return {};
}

std::string systemdUnitText(std::u16string_view description, std::u16string_view displayName,
                            const std::string& program, const std::string& programFiles,
                            const std::string& dataFolder) {
  std::string text = kSystemdUnitTemplate;
  replace(text, "@DESCRIPTION@", utf16ToUtf8(description));
  replace(text, "@DISPLAY_NAME@", utf16ToUtf8(displayName));
  replace(text, "@EXEC_START@", quoteForUnit(program));
  replace(text, "@ENVIRONMENT@",
          programFiles.empty() ? std::string()
                               : "Environment=" + quoteForUnit("KELVASYNC_PROGRAM_FILES=" + programFiles) + "\n");
  replace(text, "@ANOTHER_INSTANCE_EXIT_STATUS@", std::to_string(kExitAnotherInstance));
  // A data folder that one of the settings would hide keeps its tree visible.
  const std::string_view hidden = folderTheUnitHides(dataFolder);
  std::string_view hiddenBy;
  for (const HiddenFolder& folder : kFoldersTheUnitHides)
    if (folder.prefix == hidden) hiddenBy = folder.setting;
  replace(text, "@PROTECT_HOME@", hiddenBy == "ProtectHome" ? std::string() : "ProtectHome=yes\n");
  replace(text, "@PRIVATE_TMP@", hiddenBy == "PrivateTmp" ? std::string() : "PrivateTmp=yes\n");
  replace(text, "@READ_WRITE_PATHS@", quoteForUnit("-" + dataFolder));
  return text;
}
