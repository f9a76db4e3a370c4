// Registration of the service with the service manager, and its removal.
// Both write only to standard output; nothing is logged.
#pragma once

#include <string>

void installService();
void uninstallService();

// The line that names the support contact, shared by these messages.
std::u16string supportContactLine();
