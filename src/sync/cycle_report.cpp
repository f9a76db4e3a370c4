#include "sync/cycle_report.h"

#include <array>

#include "common/text.h"

namespace {

// A figure's accessors, from the count it reads.
#define KV_COUNT(field)                                                                   \
  [](const ReconcileCounts& c) { return static_cast<size_t>(c.field); },                \
      [](ReconcileCounts& c, size_t v) { c.field = static_cast<decltype(c.field)>(v); }

constexpr std::array<CycleFigure, 8> kFigures = {{
    {"membros", "membros", "members", "Users among the group's members at the last reconciliation.", "membros lidos",
     true, KV_COUNT(membersRead)},
    {"criados", "criados", "created", "HSM users created by the last reconciliation.", "criados", true,
     KV_COUNT(created)},
    {"desbloqueados", "desbloqueados", "unblocked", "HSM users of members unblocked by the last reconciliation.",
     "desbloqueados", true, KV_COUNT(unblocked)},
    {"bloqueados", "bloqueados", "blocked",
     "HSM users blocked by the last reconciliation because they left the group since the last complete read.",
     "bloqueados", true, KV_COUNT(blocked)},
    {"mantidos_bloqueados", "mantidosBloqueados", "kept_blocked",
     "HSM users blocked again by the last reconciliation, blocked by an earlier one.", "mantidos bloqueados", true,
     KV_COUNT(keptBlocked)},
    {"removidos", "removidos", "removed", "HSM users removed by the last reconciliation.", "removidos", true,
     KV_COUNT(removed)},
    {"falhas", "falhas", "failures", "HSM operations of the last reconciliation that failed.", "operacoes com falha",
     true, KV_COUNT(failed)},
    {"nao_lidos", "naoLidos", "unreadable_members",
     "Members of the group the last reconciliation could not read (departures wait for them).",
     "membros ignorados por falha de leitura", false, KV_COUNT(unreadable)},
}};
#undef KV_COUNT

constexpr std::array<CycleOutcomeName, 5> kOutcomes = {{
    {CycleOutcome::Complete, "completo"},
    {CycleOutcome::Configuration, "configuracao"},
    {CycleOutcome::Directory, "diretorio"},
    {CycleOutcome::Hsm, "hsm"},
    {CycleOutcome::Stopped, "parado"},
}};

constexpr std::array<HeldBackState, 7> kHeldBackStates = {{
    {kHeldEmptyRead, "leitura_vazia"},
    {kHeldUnreadableMembers, "membros_nao_lidos"},
    {kHeldRemovalLimit, "limite_remocoes"},
    {kHeldRefusedOperations, "operacoes_com_falha"},
    {kHeldUnknownSettings, "chaves_desconhecidas"},
    {kHeldCollisions, "identificadores_compartilhados"},
    {kHeldStoredListKept, "lista_guardada_mantida"},
}};

// A label's value as the text format writes it: backslash, double quote
// and line feed escaped.
std::string labelValue(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return escaped;
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

}  // namespace

std::span<const CycleFigure> cycleFigures() { return kFigures; }
std::span<const CycleOutcomeName> cycleOutcomeNames() { return kOutcomes; }
std::span<const HeldBackState> heldBackStates() { return kHeldBackStates; }

std::string_view cycleOutcomeName(CycleOutcome outcome) {
  for (const CycleOutcomeName& entry : kOutcomes)
    if (entry.outcome == outcome) return entry.name;
  return "parado";
}

uint32_t heldBackOf(const ReconcileCounts& counts) {
  uint32_t bits = 0;
  if (counts.emptyReadHeld) bits |= kHeldEmptyRead;
  if (counts.unreadable > 0) bits |= kHeldUnreadableMembers;
  if (counts.removalLimitTripped) bits |= kHeldRemovalLimit;
  if (counts.failed > 0 || counts.notDone > 0) bits |= kHeldRefusedOperations;
  if (counts.collisions > 0) bits |= kHeldCollisions;
  if (counts.storedListKept) bits |= kHeldStoredListKept;
  return bits;
}

std::string heldBackText(uint32_t bits, std::string_view separator) {
  std::string text;
  for (const HeldBackState& state : kHeldBackStates) {
    if ((bits & state.bit) == 0) continue;
    if (!text.empty()) text.append(separator);
    text.append(state.name);
  }
  return text;
}

std::string formatCycleStatus(const CycleStatus& status) {
  std::string text = "inicio=" + status.start + "\nfim=" + status.end + "\nfim_epoch=" +
                     std::to_string(status.endEpoch) + "\nresultado=" + std::string(cycleOutcomeName(status.outcome)) +
                     "\n";
  if (!status.cause.empty()) text += "causa=" + status.cause + "\n";
  if (!status.domainController.empty()) text += "dc=" + status.domainController + "\n";
  if (status.counts) {
    for (const CycleFigure& figure : kFigures)
      text += std::string(figure.statusKey) + "=" + std::to_string(figure.value(*status.counts)) + "\n";
    text += "contagens_epoch=" + std::to_string(status.countsEpoch) + "\n";
  }
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
    if (key == "causa") status.cause = value;
    if (key == "dc") status.domainController = value;
    if (key == "contagens_epoch") parseNumber(value, status.countsEpoch);
    if (key == "fim") status.end = value;
    if (key == "proximo") status.next = value;
    if (key == "ultimo_completo") status.lastComplete = value;
    if (key == "fim_epoch") haveEnd = parseNumber(value, status.endEpoch);
    if (key == "duracao") parseNumber(value, status.durationSeconds);
    if (key == "retido") {
      for (const HeldBackState& state : kHeldBackStates) {
        for (std::string_view rest = value; !rest.empty();) {
          const size_t comma = rest.find(',');
          if (rest.substr(0, comma) == state.name) status.heldBack |= state.bit;
          rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
        }
      }
    }
    if (key == "ultimo_completo_epoch") parseNumber(value, status.lastCompleteEpoch);
    if (key == "intervalo" && parseNumber(value, number) && number <= INT32_MAX) {
      status.intervalSeconds = static_cast<int32_t>(number);
    }
    if (key == "resultado") {
      for (const CycleOutcomeName& entry : kOutcomes) {
        if (value == entry.name) {
          status.outcome = entry.outcome;
          haveOutcome = true;
        }
      }
    }
    for (const CycleFigure& figure : kFigures) {
      if (key == figure.statusKey && parseNumber(value, number) && number <= UINT32_MAX) {
        figure.set(counts, static_cast<size_t>(number));
        haveCounts = true;
      }
    }
  }
  if (haveCounts) status.counts = counts;
  if (status.lastComplete.empty()) status.lastCompleteEpoch = 0;
  return haveEnd && haveOutcome;
}

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
  for (const CycleOutcomeName& entry : kOutcomes) {
    outcomes += sample("last_cycle_outcome", "{outcome=\"" + std::string(entry.name) + "\"}",
                       entry.outcome == status.outcome ? 1 : 0);
  }
  gauge("last_cycle_outcome", "1 for the outcome of the last cycle, 0 for the others.", outcomes);
  gauge("last_complete_cycle_timestamp_seconds",
        "End of the last clean cycle: complete, with no departure or operation left waiting (0: none).",
        sample("last_complete_cycle_timestamp_seconds", "", status.lastCompleteEpoch));
  gauge("interval_seconds", "Seconds between the end of one cycle and the start of the next.",
        sample("interval_seconds", "", status.intervalSeconds));
  if (!status.domainController.empty()) {
    gauge("domain_controller_info", "1, labelled with the domain controller the last cycle read the group from.",
          sample("domain_controller_info", "{dc=\"" + labelValue(status.domainController) + "\"}", 1));
  }
  std::string held;
  for (const HeldBackState& state : kHeldBackStates) {
    held += sample("held_back", "{state=\"" + std::string(state.name) + "\"}", (status.heldBack & state.bit) != 0 ? 1 : 0);
  }
  gauge("held_back", "1 for what the last reconciliation held back or found that needs a person.", held);
  if (status.counts) {
    gauge("last_reconciliation_timestamp_seconds", "End of the last reconciliation, whose counts follow.",
          sample("last_reconciliation_timestamp_seconds", "", status.countsEpoch));
    for (const CycleFigure& figure : kFigures) {
      gauge(figure.metric, figure.metricHelp,
            sample(figure.metric, "", static_cast<int64_t>(figure.value(*status.counts))));
    }
  }
  return text;
}

std::u16string cycleStatusLine(const CycleStatus& status) {
  std::string line = "ultimo ciclo " + status.end + ": " + std::string(cycleOutcomeName(status.outcome));
  if (status.counts && status.countsEpoch == status.endEpoch) {
    for (const CycleFigure& figure : kFigures) {
      if (figure.inStatusLine)
        line += ", " + std::string(figure.statusKey) + " " + std::to_string(figure.value(*status.counts));
    }
  }
  if (status.heldBack != 0) line += "; retido: " + heldBackText(status.heldBack, ", ");
  line += "; proximo ciclo " + status.next;
  return asciiToUtf16(line);
}

std::u16string cycleSummaryLine(const ReconcileCounts& counts) {
  std::string line = "Resumo do cruzamento:";
  for (const CycleFigure& figure : kFigures) {
    line += (&figure == kFigures.data() ? " " : ", ") + std::string(figure.summaryWords) + " " +
            std::to_string(figure.value(counts));
  }
  return asciiToUtf16(line);
}

std::string countsPerfData(const std::optional<ReconcileCounts>& counts) {
  std::string text;
  for (const CycleFigure& figure : kFigures) {
    text.append(" ").append(figure.statusKey).append("=").append(counts ? std::to_string(figure.value(*counts)) : "U");
  }
  return text;
}

std::string cycleStatusJsonMembers(const CycleStatus& status, std::string (*quote)(const std::string& text)) {
  std::string out = "\"resultado\": " + quote(std::string(cycleOutcomeName(status.outcome))) +
                    ", \"causa\": " + quote(status.cause) + ", \"dc\": " + quote(status.domainController) +
                    ", \"inicio\": " + quote(status.start) + ", \"fim\": " + quote(status.end) +
                    ", \"fimEpoch\": " + std::to_string(status.endEpoch) +
                    ", \"duracao\": " + std::to_string(status.durationSeconds) +
                    ", \"ultimoCompleto\": " + quote(status.lastComplete) +
                    ", \"ultimoCompletoEpoch\": " + std::to_string(status.lastCompleteEpoch) +
                    ", \"intervalo\": " + std::to_string(status.intervalSeconds) + ", \"retido\": [";
  bool first = true;
  for (const HeldBackState& state : kHeldBackStates) {
    if ((status.heldBack & state.bit) == 0) continue;
    out += (first ? "" : ", ") + quote(std::string(state.name));
    first = false;
  }
  out += "]";
  if (status.counts) {
    out += ", \"contagensEpoch\": " + std::to_string(status.countsEpoch) + ", \"contagens\": {";
    for (const CycleFigure& figure : kFigures) {
      out += (&figure == kFigures.data() ? "\"" : ", \"") + std::string(figure.jsonKey) +
             "\": " + std::to_string(figure.value(*status.counts));
    }
    out += "}";
  }
  return out;
}
