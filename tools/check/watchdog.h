// The bound of kelvasync-check --timeout: a thread that, once the time is
// up, names the step that hung and ends the process with exit code 3 (what
// monitoring systems read as "unknown"), whatever the step is blocked in.
#pragma once

#include <cstdint>

// The exit code of a run that the watchdog ended.
inline constexpr int kCheckTimedOut = 3;

// Starts the watchdog. `json`: the line it prints is a JSON document.
// Call once, before the check starts.
void armCheckWatchdog(uint32_t seconds, bool json);

// Called when the check has its result, before printing it. Returns when the
// watchdog had not fired, and from then on the watchdog stays silent; when
// it had fired, waits for it to end the process.
void disarmCheckWatchdog();

