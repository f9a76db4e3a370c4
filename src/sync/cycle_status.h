// The health of the running service at a glance: after every cycle a small
// text file in the state folder (beside the log unless the product folder
// has a `state`), kelvasync.status, is replaced whole (a reader
// sees the old content or the new, never a part), and the same summary goes
// to systemd's STATUS= on Linux. kelvasync-check --status reads the file.
//
// The file is ASCII, one "key=value" per line:
//   inicio, fim              local start and end of the last cycle (dd/mm/aaaa hh:mm:ss)
//   fim_epoch                its end in seconds since 1970 (UTC)
//   resultado                completo | configuracao | diretorio | hsm | parado
//   membros, criados, desbloqueados, bloqueados, mantidos_bloqueados,
//   removidos, falhas, nao_lidos
//                            the reconciliation's counts (absent when it did not
//                            run); bloqueados counts the users blocked because
//                            they left since the last complete read,
//                            mantidos_bloqueados those blocked again
//   ultimo_completo, ultimo_completo_epoch
//                            the end of the last complete cycle, also of an
//                            earlier run of the service (absent when none)
//   retido                   what the cycle held back or found that needs a
//                            person, comma-separated (leitura_vazia,
//                            membros_nao_lidos, limite_remocoes,
//                            operacoes_com_falha, chaves_desconhecidas,
//                            identificadores_compartilhados,
//                            lista_guardada_mantida); absent when nothing
//   duracao                  seconds the cycle took
//   intervalo                seconds between cycles
//   proximo                  local time of the next cycle
//
// Beside it, kelvasync.prom holds the same in Prometheus' text format, for
// node_exporter's textfile collector; it is replaced whole the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sync/update_cycle.h"

struct CycleStatus {
  std::string start, end;  // local time, as the log writes it
  int64_t endEpoch = 0;
  CycleOutcome outcome = CycleOutcome::Stopped;
  std::optional<ReconcileCounts> counts;
  std::string lastComplete;  // empty when no cycle was ever complete
  int64_t lastCompleteEpoch = 0;
  int32_t intervalSeconds = 0;
  std::string next;
  uint32_t heldBack = 0;  // HeldBack bits
  int64_t durationSeconds = 0;
};

// "completo", "configuracao", "diretorio", "hsm" or "parado".
std::string_view cycleOutcomeName(CycleOutcome outcome);

std::string formatCycleStatus(const CycleStatus& status);
// False when `text` is not a status file (no fim_epoch or resultado).
bool parseCycleStatus(std::string_view text, CycleStatus& status);

// kelvasync.status, in the state folder (stateFolderPath(): beside the log
// unless the product folder has a `state`); kelvasync.prom beside it.
std::u16string cycleStatusPath();
std::u16string cycleMetricsPath();

// The status in Prometheus' text format (gauges named kelvasync_...).
std::string formatCycleMetrics(const CycleStatus& status);

// The one line for systemd: "ultimo ciclo 07/12/2026 15:30:02: completo,
// membros 3, criados 0, ...; proximo ciclo 15:33:02".
std::u16string cycleStatusLine(const CycleStatus& status);

// Records one cycle that started at `startEpoch` and ended now: replaces
// the status file (a failure is logged once at Warning) and announces the
// line to the service manager. Worker thread.
void recordCycleStatus(const CycleResult& result, int64_t startEpoch, int32_t intervalSeconds);

// Seconds since 1970 (UTC), now.
int64_t secondsSinceEpoch();

// The health the status file tells, in monitoring terms: 0 ok (the last
// cycle was complete and held nothing back), 1 warning (the last cycle was
// not complete, or held something back, but a complete one is recent), 2
// critical (no complete cycle within twice the interval, at least a minute,
// or none at all, or an empty read held back), 3 unknown (no readable
// status). `line`
// is one line for a person; `perfData` the counts in the form monitoring
// plug-ins print after a '|'.
struct ServiceHealth {
  int code = 3;
  std::string line, perfData;
};
ServiceHealth judgeCycleStatus(const std::optional<CycleStatus>& status, int64_t now);
