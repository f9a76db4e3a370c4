// Process-wide values set by the entry point before any other thread exists
// and read without a lock afterwards.
#pragma once

#include <string>
#include <string_view>

// True when the command line carries no "c" option (service mode); false in
// console mode. Decides whether log lines are echoed to standard output and
// whether lines of level Console are written at all.
extern bool serviceMode;

// The program-files folder under which the INI and log files lie.
extern std::u16string programFilesDir;

// The product's folder under the program-files folder, with backslashes as
// platform::productPath takes them: the INI file lies in it, the log in its
// `data`, the status in its `state` and the lock in its `run` (when those
// exist).
inline constexpr std::u16string_view kProductFolder = u"\\Karvell Networks\\HSM Karvell";
