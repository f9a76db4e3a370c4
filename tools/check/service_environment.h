// The environment the installed service gets from its unit
// (EnvironmentFile=-/etc/default/kelvasync), taken over by kelvasync-check so
// that both read the directory with the same settings (LDAPTLS_CACERT).
#pragma once

#include <string>
#include <utility>
#include <vector>

// The assignments of an environment file as systemd reads one: NAME=VALUE
// lines, blanks around both trimmed, one pair of surrounding single or
// double quotes removed; empty lines and lines starting with '#' or ';'
// skipped, as are lines without '=' or with an invalid name. A name given
// twice keeps its last value, in the place of its first.
std::vector<std::pair<std::string, std::string>> parseEnvironmentFile(const std::string& text);

// Sets every variable of the platform's service environment file, when
// that file exists, that this process's environment does not hold yet: a
// value given to the check itself wins.
void adoptServiceEnvironment();
