// Service control: the status reports, the control handler and the watcher.
// This layer sets the stop flag (common/stop_flag.h) on a stop or shutdown
// control, the ESC key or a termination signal in console mode.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "runtime/stop_flag.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "sync/update_cycle.h"

// The status record reported to the service manager and the handle it is
// reported with (process-wide). Once the service runs, both are written and
// read only under the status lock of service_control.cpp.
extern platform::ServiceStatus serviceStatus;
extern platform::ServiceStatusHandle serviceStatusHandle;

// A state of 0 or more replaces the current state, a negative one keeps it; a
// check point of 0 or more replaces it, a negative one adds 1. In console mode
// the record is only updated. A failed report is logged and followed by one
// SERVICE_STOPPED report with exit code 1066 and service-specific code 2.
// Thread-safe: updates and reports of the record never interleave.
void reportServiceStatus(int32_t state, int32_t checkPoint);
constexpr int32_t kKeep = -1;  // keep the state / next check point

// The service procedure handed to the dispatcher, and its control handler.
void serviceMain();

// The service procedure of a refused start: reports SERVICE_STOPPED at once
// with refusedStartExitCode (a code of exit_codes.h, with win32 exit code
// 1066), so the service manager says why (under systemd
// also refusedStartReason as STATUS=).
extern uint32_t refusedStartExitCode;
extern std::u16string refusedStartReason;
void refusedServiceMain();
void serviceControlHandler(uint32_t control);

// Starts the worker thread, watches once a second for a stop (ESC, the stop
// flag, and in console mode SIGINT/SIGTERM or Ctrl+C/Ctrl+Break), then waits for the
// worker: without a time limit while it is outside the directory, at most a
// few seconds while it is inside a directory call. A worker left there sets
// workerAbandoned; the process must then end with platform::endProcessNow
// once its shutdown lines are written.
void runWorkerAndWatch();
extern std::atomic<bool> workerAbandoned;

// The worker thread procedure (see worker.cpp).
unsigned workerThread(void* argument);

// Set by the entry point before the worker starts: the worker runs one
// cycle at once (no first pause), records its outcome and asks for the stop.
extern bool singleCycleRun;
extern CycleResult singleCycleResult;
