// Service control and the one stop flag shared by every part of the service.
#pragma once

#include <cstdint>

#include "platform/service_manager.h"
#include "platform/system.h"

// Guards stopRequested and nothing else; held only for one read or write of
// the flag, never together with logLock, never while logging.
extern platform::CriticalSection stateLock;

// Set by a stop or shutdown control, the ESC key, a termination signal in
// console mode, or setStopRequested(true). Read only through isStopRequested.
extern bool stopRequested;

// Enters stateLock, copies the flag, leaves.
bool isStopRequested();
// Enters stateLock, writes the flag, leaves (no log line).
void storeStopRequested(bool stop);

// Logs "Notificacao de 'shutdown' recebida" (true) or "Notificacao para
// continuar o servico recebida" (false), then writes the flag.
void setStopRequested(bool stop);

// The status record reported to the service manager (process-wide).
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
void serviceControlHandler(uint32_t control);

// Starts the worker thread, watches once a second for a stop (ESC, the stop
// flag, and in console mode SIGINT/SIGTERM or Ctrl+C/Ctrl+Break), then waits for the
// worker without a time limit.
void runWorkerAndWatch();

// The worker thread procedure (see worker.cpp).
unsigned workerThread(void* argument);
