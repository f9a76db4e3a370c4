#include "hsm/hsm_settings.h"

#include <array>
#include <cstddef>

#include "config/config.h"

namespace {

using SettingsTable = std::array<CachedHsmSettings, static_cast<size_t>(HsmOperation::Count)>;

SettingsTable& settingsTable() {
  static SettingsTable table;
  return table;
}

}  // namespace

CachedHsmSettings& cachedHsmSettings(HsmOperation operation) {
  return settingsTable()[static_cast<size_t>(operation)];
}

bool refreshHsmSettings(CachedHsmSettings& settings) {
  return readHsmSettings(&settings.host, &settings.user, &settings.password);
}

void forgetCachedHsmSettingsForTesting() {
  for (CachedHsmSettings& settings : settingsTable()) {
    // The password is overwritten before its memory is released.
    settings.password.assign(settings.password.size(), '\0');
    settings = CachedHsmSettings{};
  }
}
