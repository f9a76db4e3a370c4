// Linux implementation of platform/environment.h.
#include "platform/environment.h"

#include <stdlib.h>

namespace platform {

bool setEnvironmentVariable(const std::string& name, const std::string& value, bool overwrite) {
  return ::setenv(name.c_str(), value.c_str(), overwrite ? 1 : 0) == 0;
}

std::string serviceEnvironmentFile() { return "/etc/default/kelvasync"; }

}  // namespace platform
