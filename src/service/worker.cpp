// The worker thread: the one thread that runs update cycles. It prepares the
// HSM client library and the directory settings, then alternates a pause and
// one update cycle until the stop flag is set, and finalises the library
// before it ends.
#include <cstdint>

#include "config/config.h"
#include "directory/group_search.h"
#include "logging/log.h"
#include "hsm/hsm_client.h"
#include "platform/system.h"
#include "service/service_control.h"
#include "sync/cycle_status.h"
#include "sync/update_cycle.h"

namespace {

// Set once the HSM client library has been prepared; never cleared, so the library is
// initialised at most once per process.
bool hsmLibraryReady = false;

// Seconds to pause before the next cycle: 10 before the first, the update
// interval before every later one. Worker thread only.
int32_t nextWaitSeconds = 10;

constexpr uint32_t kPauseSliceMs = 400;

// Pauses for `waitSeconds` in 400 ms slices, reading the stop flag after
// each. False when a stop was seen.
bool pauseBeforeCycle(int32_t waitSeconds) {
  const int64_t slices = pauseSliceCount(waitSeconds);
  for (int64_t slice = 0; slice < slices; ++slice) {
    // A timer that cannot be created lets its slice pass without waiting.
    platform::TimerEvent timer;
    if (timer.valid()) timer.wait(kPauseSliceMs);
    if (isStopRequested()) return false;
  }
  return true;
}

}  // namespace

bool singleCycleRun = false;
CycleResult singleCycleResult;

unsigned workerThread(void*) {
  // COM (and with it the ADSI provider) stays up between cycles.
  const DirectoryThreadScope directoryRuntime;
  // The first cycle's cause may be a gap found at start.
  beginCauseRecording();
  if (!hsmLibraryReady) {
    initializeHsmLibrary();  // failures surface in the HSM operations, which log them
    hsmLibraryReady = true;
  }
  reportConfigurationGaps();
  // A typo in an optional key switches its protection off: every cycle's
  // status says so until the file is mended and the service restarted.
  const uint32_t unknownSettings = reportUnknownSettings() > 0 ? uint32_t{kHeldUnknownSettings} : 0u;
  const bool directoryConfigured = loadDirectorySettings();  // when incomplete, the interval stays as it was
  applyDirectoryTrust();
  // Read once: a new interval takes effect with the next start.
  const int32_t interval = directorySettings.updateIntervalSeconds;
  writeLog(Info, u"Atualizacao do HSM/Tessel a cada %d minuto(s)", interval / 60);

  // A stop seen at the top of a pass or during a pause is acknowledged with
  // the shutdown notice; one seen right before or after a cycle is not.
  bool acknowledgeStop = false;
  if (singleCycleRun) {
    // One cycle at once, then the run ends as a stop would end it.
    nextWaitSeconds = 0;
    const int64_t start = secondsSinceEpoch();
    if (!directoryConfigured) {
      singleCycleResult.outcome = CycleOutcome::Configuration;
    } else if (!isStopRequested()) {
      singleCycleResult = runUpdateCycle();
    }
    singleCycleResult.heldBack |= unknownSettings;
    recordCycleStatus(singleCycleResult, start, interval);
    storeStopRequested(true);
  } else if (!isStopRequested()) {
    for (;;) {
      if (isStopRequested() || !pauseBeforeCycle(nextWaitSeconds)) {
        acknowledgeStop = true;
        break;
      }
      nextWaitSeconds = interval;
      if (isStopRequested()) break;
      const int64_t start = secondsSinceEpoch();
      CycleResult result = runUpdateCycle();
      result.heldBack |= unknownSettings;
      recordCycleStatus(result, start, interval);
      beginCauseRecording();
      if (isStopRequested()) break;
    }
  }
  if (acknowledgeStop) {
    writeJournaledLog(Info, u"Notificacao de 'shutdown' recebida");
    storeStopRequested(true);
  }
  writeJournaledLog(Info, u"As pesquisas no AD foram canceladas");
  finalizeHsmLibrary();
  return 0;
}
