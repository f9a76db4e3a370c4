// Windows implementation of platform/environment.h.
#include "platform/environment.h"

#include <stdlib.h>

namespace platform {

bool setEnvironmentVariable(const std::string& name, const std::string& value, bool overwrite) {
  if (!overwrite && ::getenv(name.c_str()) != nullptr) return true;
  return _putenv_s(name.c_str(), value.c_str()) == 0;
}

std::string serviceEnvironmentFile() { return {}; }

}  // namespace platform
