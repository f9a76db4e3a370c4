// The bound of kelvasync-check --timeout: a thread that, once the time is
// up, names the step that hung and ends the process with kCheckTimedOut, or
// with --nagios CRITICAL (a directory or HSM that does not answer is down
// for the service too), whatever the step is blocked in.
#pragma once

#include <cstdint>

// How the watchdog reports: the text for a person, a JSON document, or one
// Nagios plug-in line.
enum class CheckOutput { Text, Json, Nagios };

// Starts the watchdog. Call once, before the check starts.
void armCheckWatchdog(uint32_t seconds, CheckOutput output);

// Called when the check has its result, before printing it. Returns when the
// watchdog had not fired, and from then on the watchdog stays silent; when
// it had fired, waits for it to end the process.
void disarmCheckWatchdog();

