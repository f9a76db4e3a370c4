#include "sync/cycle_status.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/text.h"
#include "directory/group_search.h"
#include "logging/log.h"
#include "platform/files.h"
#include "platform/service_manager.h"
#include "platform/system.h"

namespace {

std::string timeText(const platform::LocalTime& t) {
  return utf16ToUtf8(formatWide(u"%02d/%02d/%04d %02d:%02d:%02d", t.day, t.month, t.year, t.hour, t.minute,
                                t.second));
}

// What a cycle that does not reach a reconciliation carries over from the
// last one (also of an earlier run, read back from the file the first time
// a cycle is recorded): the end of the last clean cycle, the last counts
// with their time, and what they held back.
bool carriedLoaded = false;
CycleStatus carried;
bool writeFailureReported = false;

// The status file's and the metrics' permissions on Linux (Windows: the
// data folder's ACL).
constexpr uint32_t kMonitoringFileMode = 0644;

}  // namespace

int64_t secondsSinceEpoch() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::u16string cycleStatusPath() { return platform::productPath(stateFolderPath(), u"\\kelvasync.status"); }

std::u16string cycleMetricsPath() { return platform::productPath(stateFolderPath(), u"\\kelvasync.prom"); }

ServiceHealth judgeCycleStatus(const std::optional<CycleStatus>& status, int64_t now) {
  ServiceHealth health;
  if (!status) {
    health.line = "KELVASYNC UNKNOWN - nenhum arquivo de estado legivel (o servico ainda nao terminou um ciclo?)";
    return health;
  }
  const int64_t limit = 2 * std::max<int64_t>(status->intervalSeconds, 60);
  const int64_t age = status->lastCompleteEpoch > 0 ? std::max<int64_t>(now - status->lastCompleteEpoch, 0) : -1;
  std::string last = "ultimo ciclo " + status->end + ": " + std::string(cycleOutcomeName(status->outcome));
  if (!status->cause.empty()) last += " (" + status->cause + ")";
  if (status->heldBack != 0) last += " (retido: " + heldBackText(status->heldBack, ", ") + ")";
  if ((status->heldBack & kHeldEmptyRead) != 0) {
    // Users keep HSM access that the group may have taken away, and only a
    // person can tell an emptied group from a read cut down to nothing.
    health.code = 2;
    health.line = "KELVASYNC CRITICAL - nenhum membro lido no Grupo enquanto ha usuarios gerenciados no HSM; " + last;
  } else if (age < 0) {
    health.code = 2;
    health.line = "KELVASYNC CRITICAL - nenhum ciclo completo registrado; " + last;
  } else if (age > limit) {
    health.code = 2;
    health.line = "KELVASYNC CRITICAL - ultimo ciclo completo ha " + std::to_string(age) + " s (" +
                  status->lastComplete + "), mais que o dobro do intervalo; " + last;
  } else if (status->outcome != CycleOutcome::Complete || status->heldBack != 0) {
    health.code = 1;
    health.line = "KELVASYNC WARNING - " + last + "; ultimo completo ha " + std::to_string(age) + " s";
  } else {
    health.code = 0;
    health.line = "KELVASYNC OK - " + last + ", ha " + std::to_string(age) + " s";
  }
  // The line is one line: no part of a cause may start another or the
  // performance data.
  for (char& c : health.line)
    if (c == '\n' || c == '\r' || c == '|') c = c == '|' ? '/' : ' ';
  health.perfData = "idade=";
  health.perfData += age < 0 ? std::string("U") : std::to_string(age) + "s";
  health.perfData += ";;";
  health.perfData += std::to_string(limit);
  health.perfData += ";0";
  // The counts are this cycle's only when it reached a reconciliation;
  // otherwise they were not measured.
  const bool measured = status->counts && status->countsEpoch == status->endEpoch;
  health.perfData += countsPerfData(measured ? status->counts : std::nullopt);
  health.perfData += " retido=" + std::to_string(std::popcount(status->heldBack));
  return health;
}

void recordCycleStatus(const CycleResult& result, int64_t startEpoch, int32_t intervalSeconds) {
  const std::u16string path = cycleStatusPath();
  if (!carriedLoaded) {
    carriedLoaded = true;
    std::string previousText;
    if (!platform::readFileContents(path, previousText) || !parseCycleStatus(previousText, carried)) {
      carried = CycleStatus{};
    }
  }
  CycleStatus status;
  status.start = timeText(platform::localTimeAt(startEpoch));
  status.endEpoch = secondsSinceEpoch();
  status.end = timeText(platform::localTimeAt(status.endEpoch));
  status.outcome = result.outcome;
  if (result.outcome != CycleOutcome::Complete) status.cause = recordedCause();
  status.domainController = domainControllerRead();
  if (result.reconciled) {
    carried.counts = result.counts;
    carried.countsEpoch = status.endEpoch;
    carried.heldBack = result.heldBack;
  } else {
    // No reconciliation: what the last one held back still waits; a
    // finding of this cycle (unknown names in the INI) is added.
    carried.heldBack |= result.heldBack;
  }
  if (result.outcome == CycleOutcome::Complete && (result.heldBack & kHeldWorkLeft) == 0) {
    carried.lastComplete = status.end;
    carried.lastCompleteEpoch = status.endEpoch;
  }
  status.counts = carried.counts;
  status.countsEpoch = carried.countsEpoch;
  status.heldBack = carried.heldBack;
  status.lastComplete = carried.lastComplete;
  status.lastCompleteEpoch = carried.lastCompleteEpoch;
  status.intervalSeconds = intervalSeconds;
  status.durationSeconds = std::max<int64_t>(status.endEpoch - startEpoch, 0);
  const std::string next = timeText(platform::localTimeAt(status.endEpoch + intervalSeconds));
  status.next = next.substr(next.size() - 8);  // hh:mm:ss

  // Times, counts and state names only: readable by everyone, so that a
  // monitoring account needs no group that can read the INI or the keytab.
  if (platform::replaceFileContents(path, formatCycleStatus(status), kMonitoringFileMode) &&
      platform::replaceFileContents(cycleMetricsPath(), formatCycleMetrics(status), kMonitoringFileMode)) {
    writeFailureReported = false;
  } else if (!writeFailureReported) {
    writeFailureReported = true;
    writeLog(Warning, u"Nao foi possivel gravar o arquivo de estado '%s'", path);
  }
  platform::announceServiceStatus(cycleStatusLine(status));
}
