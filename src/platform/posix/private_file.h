// Opening the service's own files in its data folder on Linux, shared by the
// log (files_posix.cpp) and the instance lock (system_posix.cpp).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace platform {

// The account the Debian package creates for the service, user and group.
inline constexpr char kServiceAccountName[] = "kelvasync";

// open(path, flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode): a
// symbolic link in its place is never followed, the open fails; anything but
// a regular file (a FIFO, a device, a folder) is refused at once with ENXIO,
// never waited on, and so, with EMLINK, is a file with more than one link
// when the caller is root (another name of it may be any file). An existing file whose permissions go beyond `mode` is
// narrowed to it. Run as root in a folder that belongs to another account,
// the file is given to that account (its user and group). The descriptor,
// or -1 with errno set.
int openPrivateFile(const std::u16string& path, int flags, mode_t mode);

// Whether a file of these permissions may be read by someone other than its
// owner and the service's own group: any other read bit, or a group read
// bit for another group.
bool modeReadableByOthers(const struct stat& status);

}  // namespace platform
