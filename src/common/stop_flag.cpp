#include "common/stop_flag.h"

platform::CriticalSection stateLock;
bool stopRequested = false;

bool isStopRequested() {
  platform::CriticalSectionGuard guard(stateLock);
  return stopRequested;
}

void storeStopRequested(bool stop) {
  platform::CriticalSectionGuard guard(stateLock);
  stopRequested = stop;
}
