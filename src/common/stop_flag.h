// The one stop flag of the process. The service layer sets it (a stop or
// shutdown control, the ESC key, a termination signal); every other layer
// only reads it at its own check points, between members and HSM users,
// never inside an HSM or directory call.
#pragma once

#include "platform/system.h"

// Guards stopRequested and nothing else; held only for one read or write of
// the flag, never together with logLock, never while logging.
extern platform::CriticalSection stateLock;

// Read only through isStopRequested, written only through storeStopRequested.
extern bool stopRequested;

// Enters stateLock, copies the flag, leaves.
bool isStopRequested();
// Enters stateLock, writes the flag, leaves (no log line).
void storeStopRequested(bool stop);
