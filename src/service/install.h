// Registration of the service with the service manager, and its removal.
// Both write their results to standard output, and a failure's cause with
// what to do about it to standard error; nothing is logged. False when a
// step failed.
#pragma once

#include <string>

bool installService();
bool uninstallService();

// The line that names the support contact, shared by these messages.
std::u16string supportContactLine();
