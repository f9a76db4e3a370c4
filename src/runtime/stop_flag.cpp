#include "runtime/stop_flag.h"

#include <atomic>

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

namespace {
std::atomic<const char16_t*> directoryStep{nullptr};
std::atomic<uint64_t> directoryStepCount{0};
}  // namespace

void enterDirectoryStep(const char16_t* step) {
  directoryStepCount.fetch_add(1);
  directoryStep.store(step);
}
uint64_t directoryStepSerial() { return directoryStepCount.load(); }
void leaveDirectoryStep() { directoryStep.store(nullptr); }
const char16_t* currentDirectoryStep() { return directoryStep.load(); }
