// Starting the system's own programs (systemctl, systemd-creds) on Linux.
#pragma once

#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <string>

extern char** environ;

namespace platform {

// posix_spawn of the system program `name` from /usr/bin, or else /bin,
// with this process's environment. PATH is never searched: a folder on it
// that another account can write could hold a program of the same name
// (one that would be handed a password). 0, or the error of the last try:
// ENOENT when neither folder holds it.
inline int spawnSystemProgram(pid_t* child, const char* name, const posix_spawn_file_actions_t* actions,
                              char* const argv[]) {
  int result = ENOENT;
  for (const char* folder : {"/usr/bin/", "/bin/"}) {
    result = posix_spawn(child, (std::string(folder) + name).c_str(), actions, nullptr, argv, environ);
    if (result != ENOENT) break;
  }
  return result;
}

}  // namespace platform
