// Opening the service's own files in its data folder on Linux, shared by the
// log (files_posix.cpp) and the instance lock (system_posix.cpp).
#pragma once

#include <sys/types.h>

#include <string>

namespace platform {

// open(path, flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode): a symbolic link
// in its place is never followed, the open fails. An existing file whose
// permissions go beyond `mode` is narrowed to it. The descriptor, or -1 with
// errno set.
int openPrivateFile(const std::u16string& path, int flags, mode_t mode);

}  // namespace platform
