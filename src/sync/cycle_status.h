// The health of the running service at a glance: after every cycle the
// status file kelvasync.status in the state folder (beside the log unless
// the product folder has a `state`) is replaced whole (a reader sees the
// old content or the new, never a part), kelvasync.prom beside it the same
// way, and the same summary goes to systemd's STATUS= on Linux.
// kelvasync-check --status reads the file. Their forms are in cycle_report.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sync/cycle_report.h"

// kelvasync.status, in the state folder (stateFolderPath(): beside the log
// unless the product folder has a `state`); kelvasync.prom beside it.
std::u16string cycleStatusPath();
std::u16string cycleMetricsPath();

// Records one cycle that started at `startEpoch` and ended now: replaces
// the status file and the metrics (a failure is logged once at Warning) and
// announces the line to the service manager. Worker thread.
void recordCycleStatus(const CycleResult& result, int64_t startEpoch, int32_t intervalSeconds);

// Seconds since 1970 (UTC), now.
int64_t secondsSinceEpoch();

// The health the status file tells, in monitoring terms: 0 ok (the last
// cycle was complete and held nothing back), 1 warning (the last cycle was
// not complete, or held something back, but a complete one is recent), 2
// critical (no complete cycle within twice the interval, at least a minute,
// or none at all, or an empty read held back), 3 unknown (no readable
// status). `line` is one line for a person; `perfData` the counts in the
// form monitoring plug-ins print after a '|'.
struct ServiceHealth {
  int code = 3;
  std::string line, perfData;
};
ServiceHealth judgeCycleStatus(const std::optional<CycleStatus>& status, int64_t now);
