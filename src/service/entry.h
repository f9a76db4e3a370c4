// The program's entry point, shared by both platforms' main functions.
#pragma once

// Reads the options and installs, removes, or runs the service in console or
// service mode. Returns the process exit code, 0 on every path.
int runKelvasync(int argc, const char16_t* const argv[]);
