#include "platform/system.h"
#include "service/service_control.h"

// Interim worker: until the synchronization arrives it only waits, in 400 ms
// slices, for the stop flag, so that start-up, stop and shutdown run end to
// end.
unsigned workerThread(void*) {
  while (!isStopRequested()) {
    platform::TimerEvent slice;
    if (slice.valid()) slice.wait(400);
  }
  return 0;
}
