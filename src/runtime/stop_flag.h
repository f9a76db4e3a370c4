// The one stop flag of the process. The service layer sets it (a stop or
// shutdown control, the ESC key, a termination signal); every other layer
// only reads it at its own check points, between members and HSM users,
// never inside an HSM or directory call.
#pragma once

#include <cstdint>

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

// The directory step the worker is inside, or null: set by the group search
// around each directory call, read by the service when a stop cannot wait
// for a call that does not return. Lock-free; the name is a string literal.
void enterDirectoryStep(const char16_t* step);
void leaveDirectoryStep();
const char16_t* currentDirectoryStep();
// Counts the directory calls entered so far: the same count on two looks
// means the same call is still in hand.
uint64_t directoryStepSerial();
