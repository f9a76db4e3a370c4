// Platform seam: the process environment.
#pragma once

#include <string>

namespace platform {

// Sets `name` to `value` in this process's environment (setenv / the C
// runtime's _putenv_s, which is what getenv reads on both). When `overwrite`
// is false an existing value, even an empty one, is kept. False when the
// environment refused the change.
bool setEnvironmentVariable(const std::string& name, const std::string& value, bool overwrite);

// The file from which the installed service unit takes its environment
// (/etc/default/kelvasync), so that tools can see what the service sees;
// empty where the service gets no such file (Windows).
std::string serviceEnvironmentFile();

}  // namespace platform
