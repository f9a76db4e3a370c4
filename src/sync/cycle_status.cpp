#include "sync/cycle_status.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/text.h"
#include "logging/log.h"
#include "platform/files.h"
#include "platform/service_manager.h"
#include "platform/system.h"

namespace {

std::string timeText(const platform::LocalTime& t) {
  return utf16ToUtf8(formatWide(u"%02d/%02d/%04d %02d:%02d:%02d", t.day, t.month, t.year, t.hour, t.minute,
                                t.second));
}

// The reconciliation's counts, in the order of the file and the line.
std::vector<std::pair<std::string_view, size_t*>> countFields(ReconcileCounts& c) {
  return {{"membros", &c.membersRead},         {"criados", &c.created}, {"desbloqueados", &c.unblocked},
          {"bloqueados", &c.blocked},           {"mantidos_bloqueados", &c.keptBlocked},
          {"removidos", &c.removed},            {"falhas", &c.failed}};
}

// The counts as text, each field as `before` key `between` value `after`;
// nao_lidos last when `withUnreadable`.
std::string countsText(ReconcileCounts counts, std::string_view before, std::string_view between,
                       std::string_view after, bool withUnreadable) {
  std::string text;
  const auto append = [&](std::string_view key, size_t value) {
    text.append(before);
    text.append(key);
    text.append(between);
    text.append(std::to_string(value));
    text.append(after);
  };
  for (const auto& [key, value] : countFields(counts)) append(key, *value);
  if (withUnreadable) append("nao_lidos", counts.unreadable);
  return text;
}

// The names of the bits set, joined by `separator`.
std::string heldBackText(uint32_t bits, std::string_view separator) {
  std::string text;
  for (const auto& [bit, name] : heldBackNames()) {
    if ((bits & bit) == 0) continue;
    if (!text.empty()) text.append(separator);
    text.append(name);
  }
  return text;
}

bool parseNumber(std::string_view text, int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

// The last complete cycle of the process, or of an earlier run read back
// from the file the first time a cycle is recorded.
bool lastCompleteLoaded = false;
std::string lastComplete;
int64_t lastCompleteEpoch = 0;
bool writeFailureReported = false;

}  // namespace

int64_t secondsSinceEpoch() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string_view cycleOutcomeName(CycleOutcome outcome) {
  switch (outcome) {
    case CycleOutcome::Complete: return "completo";
    case CycleOutcome::Configuration: return "configuracao";
    case CycleOutcome::Directory: return "diretorio";
    case CycleOutcome::Hsm: return "hsm";
    case CycleOutcome::Stopped: return "parado";
  }
  return "parado";
}

std::string formatCycleStatus(const CycleStatus& status) {
  std::string text = "inicio=" + status.start + "\nfim=" + status.end + "\nfim_epoch=" +
                     std::to_string(status.endEpoch) + "\nresultado=" + std::string(cycleOutcomeName(status.outcome)) +
                     "\n";
  if (status.counts) text += countsText(*status.counts, "", "=", "\n", true);
  if (!status.lastComplete.empty()) {
    text += "ultimo_completo=" + status.lastComplete + "\nultimo_completo_epoch=" +
            std::to_string(status.lastCompleteEpoch) + "\n";
  }
  if (status.heldBack != 0) text += "retido=" + heldBackText(status.heldBack, ",") + "\n";
  text += "duracao=" + std::to_string(status.durationSeconds) + "\n";
  text += "intervalo=" + std::to_string(status.intervalSeconds) + "\nproximo=" + status.next + "\n";
  return text;
}

bool parseCycleStatus(std::string_view text, CycleStatus& status) {
  status = CycleStatus{};
  bool haveEnd = false, haveOutcome = false;
  ReconcileCounts counts;
  bool haveCounts = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
    int64_t number = 0;
    if (key == "inicio") status.start = value;
    if (key == "fim") status.end = value;
    if (key == "proximo") status.next = value;
    if (key == "ultimo_completo") status.lastComplete = value;
    if (key == "fim_epoch") haveEnd = parseNumber(value, status.endEpoch);
    if (key == "duracao") parseNumber(value, status.durationSeconds);
    if (key == "retido") {
      for (const auto& [bit, name] : heldBackNames()) {
        for (std::string_view rest = value; !rest.empty();) {
          const size_t comma = rest.find(',');
          if (rest.substr(0, comma) == name) status.heldBack |= bit;
          rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
        }
      }
    }
    if (key == "ultimo_completo_epoch") parseNumber(value, status.lastCompleteEpoch);
    if (key == "intervalo" && parseNumber(value, number) && number <= INT32_MAX) {
      status.intervalSeconds = static_cast<int32_t>(number);
    }
    if (key == "resultado") {
      for (CycleOutcome outcome : {CycleOutcome::Complete, CycleOutcome::Configuration, CycleOutcome::Directory,
                                   CycleOutcome::Hsm, CycleOutcome::Stopped}) {
        if (value == cycleOutcomeName(outcome)) {
          status.outcome = outcome;
          haveOutcome = true;
        }
      }
    }
    for (const auto& [name, field] : countFields(counts)) {
      if (key == name && parseNumber(value, number)) {
        *field = static_cast<size_t>(number);
        haveCounts = true;
      }
    }
    if (key == "nao_lidos" && parseNumber(value, number) && number <= UINT32_MAX) {
      counts.unreadable = static_cast<uint32_t>(number);
    }
  }
  if (haveCounts) status.counts = counts;
  if (status.lastComplete.empty()) status.lastCompleteEpoch = 0;
  return haveEnd && haveOutcome;
}

std::u16string cycleStatusPath() { return platform::productPath(stateFolderPath(), u"\\kelvasync.status"); }

std::u16string cycleMetricsPath() { return platform::productPath(stateFolderPath(), u"\\kelvasync.prom"); }

std::string formatCycleMetrics(const CycleStatus& status) {
  std::string text;
  const auto gauge = [&text](std::string_view name, std::string_view help, const std::string& samples) {
    text += "# HELP kelvasync_" + std::string(name) + " " + std::string(help) + "\n";
    text += "# TYPE kelvasync_" + std::string(name) + " gauge\n" + samples;
  };
  const auto sample = [](std::string_view name, std::string_view labels, int64_t value) {
    return "kelvasync_" + std::string(name) + std::string(labels) + " " + std::to_string(value) + "\n";
  };
  gauge("last_cycle_timestamp_seconds", "End of the last cycle, seconds since 1970.",
        sample("last_cycle_timestamp_seconds", "", status.endEpoch));
  gauge("last_cycle_duration_seconds", "Seconds the last cycle took.",
        sample("last_cycle_duration_seconds", "", status.durationSeconds));
  std::string outcomes;
  for (CycleOutcome outcome : {CycleOutcome::Complete, CycleOutcome::Configuration, CycleOutcome::Directory,
                               CycleOutcome::Hsm, CycleOutcome::Stopped}) {
    outcomes += sample("last_cycle_outcome", "{outcome=\"" + std::string(cycleOutcomeName(outcome)) + "\"}",
                       outcome == status.outcome ? 1 : 0);
  }
  gauge("last_cycle_outcome", "1 for the outcome of the last cycle, 0 for the others.", outcomes);
  gauge("last_complete_cycle_timestamp_seconds", "End of the last complete cycle (0: none).",
        sample("last_complete_cycle_timestamp_seconds", "", status.lastCompleteEpoch));
  std::string held;
  for (const auto& [bit, name] : heldBackNames()) {
    held += sample("held_back", "{state=\"" + std::string(name) + "\"}", (status.heldBack & bit) != 0 ? 1 : 0);
  }
  gauge("held_back", "1 for what the last cycle held back or found that needs a person.", held);
  if (status.counts) {
    ReconcileCounts counts = *status.counts;
    const std::pair<std::string_view, size_t> values[] = {
        {"members", counts.membersRead}, {"created", counts.created},   {"unblocked", counts.unblocked},
        {"blocked", counts.blocked},     {"kept_blocked", counts.keptBlocked},
        {"removed", counts.removed},     {"failures", counts.failed},
        {"unreadable_members", counts.unreadable}};
    for (const auto& [name, value] : values) {
      gauge(name, "Last reconciliation's count.", sample(name, "", static_cast<int64_t>(value)));
    }
  }
  return text;
}

std::u16string cycleStatusLine(const CycleStatus& status) {
  std::string line = "ultimo ciclo " + status.end + ": " + std::string(cycleOutcomeName(status.outcome));
  if (status.counts) line += countsText(*status.counts, ", ", " ", "", false);
  if (status.heldBack != 0) line += "; retido: " + heldBackText(status.heldBack, ", ");
  line += "; proximo ciclo " + status.next;
  return asciiToUtf16(line);
}

ServiceHealth judgeCycleStatus(const std::optional<CycleStatus>& status, int64_t now) {
  ServiceHealth health;
  if (!status) {
    health.line = "KELVASYNC DESCONHECIDO - nenhum arquivo de estado legivel (o servico ainda nao terminou um ciclo?)";
    return health;
  }
  const int64_t limit = 2 * std::max<int64_t>(status->intervalSeconds, 60);
  const int64_t age = status->lastCompleteEpoch > 0 ? std::max<int64_t>(now - status->lastCompleteEpoch, 0) : -1;
  std::string last = "ultimo ciclo " + status->end + ": " + std::string(cycleOutcomeName(status->outcome));
  if (status->heldBack != 0) last += " (retido: " + heldBackText(status->heldBack, ", ") + ")";
  if ((status->heldBack & kHeldEmptyRead) != 0) {
    // Users keep HSM access that the group may have taken away, and only a
    // person can tell an emptied group from a read cut down to nothing.
    health.code = 2;
    health.line = "KELVASYNC CRITICO - nenhum membro lido no Grupo enquanto ha usuarios gerenciados no HSM; " + last;
  } else if (age < 0) {
    health.code = 2;
    health.line = "KELVASYNC CRITICO - nenhum ciclo completo registrado; " + last;
  } else if (age > limit) {
    health.code = 2;
    health.line = "KELVASYNC CRITICO - ultimo ciclo completo ha " + std::to_string(age) + " s (" +
                  status->lastComplete + "), mais que o dobro do intervalo; " + last;
  } else if (status->outcome != CycleOutcome::Complete || status->heldBack != 0) {
    health.code = 1;
    health.line = "KELVASYNC ATENCAO - " + last + "; ultimo completo ha " + std::to_string(age) + " s";
  } else {
    health.code = 0;
    health.line = "KELVASYNC OK - " + last + ", ha " + std::to_string(age) + " s";
  }
  health.perfData = "idade=";
  health.perfData += age < 0 ? std::string("U") : std::to_string(age) + "s";
  health.perfData += ";;";
  health.perfData += std::to_string(limit);
  health.perfData += ";0";
  if (status->counts) health.perfData += countsText(*status->counts, " ", "=", "", true);
  health.perfData += " retido=" + std::to_string(std::popcount(status->heldBack));
  return health;
}

void recordCycleStatus(const CycleResult& result, int64_t startEpoch, int32_t intervalSeconds) {
  const std::u16string path = cycleStatusPath();
  if (!lastCompleteLoaded) {
    lastCompleteLoaded = true;
    std::string previousText;
    CycleStatus previous;
    if (platform::readFileContents(path, previousText) && parseCycleStatus(previousText, previous)) {
      lastComplete = previous.lastComplete;
      lastCompleteEpoch = previous.lastCompleteEpoch;
    }
  }
  CycleStatus status;
  status.start = timeText(platform::localTimeAt(startEpoch));
  status.endEpoch = secondsSinceEpoch();
  status.end = timeText(platform::localTimeAt(status.endEpoch));
  status.outcome = result.outcome;
  if (result.reconciled) status.counts = result.counts;
  if (result.outcome == CycleOutcome::Complete) {
    lastComplete = status.end;
    lastCompleteEpoch = status.endEpoch;
  }
  status.lastComplete = lastComplete;
  status.lastCompleteEpoch = lastCompleteEpoch;
  status.intervalSeconds = intervalSeconds;
  status.heldBack = result.heldBack;
  status.durationSeconds = std::max<int64_t>(status.endEpoch - startEpoch, 0);
  const std::string next = timeText(platform::localTimeAt(status.endEpoch + intervalSeconds));
  status.next = next.substr(next.size() - 8);  // hh:mm:ss

  if (platform::replaceFileContents(path, formatCycleStatus(status)) &&
      platform::replaceFileContents(cycleMetricsPath(), formatCycleMetrics(status))) {
    writeFailureReported = false;
  } else if (!writeFailureReported) {
    writeFailureReported = true;
    writeLog(Warning, u"Nao foi possivel gravar o arquivo de estado '%s'", path);
  }
  platform::announceServiceStatus(cycleStatusLine(status));
}
