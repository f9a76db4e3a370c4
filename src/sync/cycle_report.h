// What one update cycle reports, and every form it is reported in. Each
// figure, outcome and held-back state is listed once here, with its name in
// each vocabulary; the status file (kelvasync.status), the metrics
// (kelvasync.prom), the JSON of kelvasync-check --status --json, the
// performance data of --status --nagios, systemd's STATUS= line and the
// journal's summary sentence are all written from these tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// What one reconciliation did.
struct ReconcileCounts {
  // membersRead: the users among the group's members (a nested group or a
  // contact is no user, and is not counted).
  size_t membersRead = 0, created = 0, unblocked = 0, blocked = 0, removed = 0, failed = 0;
  // Users blocked again that an earlier cycle had blocked already (not in
  // `blocked`, which counts the new blocks only).
  size_t keptBlocked = 0;
  uint32_t unreadable = 0;  // members that could not be read or identified
  bool emptyReadHeld = false;    // no member read while managed users exist: pass 2 held back
  bool storedListKept = false;   // the read was incomplete: addb and addb_backup left untouched
  bool saveFailed = false;       // the backup or the write of addb failed (counted in `failed`)
  bool removalLimitTripped = false;  // pass 2 held back by maxremovals
  size_t collisions = 0;         // identifiers shared by several members
  // Operations left for the next cycle because the HSM stopped answering
  // in the middle of the passes (the save included).
  size_t notDone = 0;
};

// What a cycle held back or found that an administrator must act on, even
// when it ran to its end: one bit each, in the order of heldBackStates().
enum HeldBack : uint32_t {
  kHeldEmptyRead = 1u << 0,         // an empty read: nobody blocked or removed
  kHeldUnreadableMembers = 1u << 1,  // members not read: departures wait
  kHeldRemovalLimit = 1u << 2,      // maxremovals tripped: departures wait
  kHeldRefusedOperations = 1u << 3,  // HSM operations that failed or were not done
  kHeldUnknownSettings = 1u << 4,   // names in the INI file the service does not know
  kHeldCollisions = 1u << 5,        // members sharing one HSM user
  kHeldStoredListKept = 1u << 6,    // addb left as the last complete read stored it
};
// The bits a reconciliation's counts give.
uint32_t heldBackOf(const ReconcileCounts& counts);
// The states in which the cycle left undone what the group asks (an empty
// read, members not read, the removal limit, failed operations, the stored
// list kept): a cycle with one of them is no clean cycle. Shared
// identifiers and unknown names in the INI are findings, not work left.
inline constexpr uint32_t kHeldWorkLeft =
    kHeldEmptyRead | kHeldUnreadableMembers | kHeldRemovalLimit | kHeldRefusedOperations | kHeldStoredListKept;

// How one cycle ended, for the health status and a single-cycle run.
enum class CycleOutcome : uint8_t {
  Complete,       // the group was read wholly and every operation of the plan succeeded
  Configuration,  // settings needed for the cycle are missing
  Directory,      // the group could not be read, some of its members could not, or it read empty
  Hsm,            // the HSM could not be listed, or an operation on it failed
  Stopped,        // a stop request ended the cycle early
};
struct CycleResult {
  CycleOutcome outcome = CycleOutcome::Stopped;
  bool reconciled = false;  // counts holds the reconciliation's summary
  ReconcileCounts counts;
  uint32_t heldBack = 0;    // HeldBack bits
};

// ---- the tables ----------------------------------------------------------

// One count of a reconciliation, by its name in each vocabulary.
struct CycleFigure {
  std::string_view statusKey;    // kelvasync.status, perfdata and STATUS= ("nao_lidos")
  std::string_view jsonKey;      // --status --json, under "contagens" ("naoLidos")
  std::string_view metric;       // kelvasync_<metric> ("unreadable_members")
  std::string_view metricHelp;   // its # HELP text
  std::string_view summaryWords;  // the journal's summary sentence ("membros ignorados por falha de leitura")
  bool inStatusLine;             // named in STATUS=
  size_t (*value)(const ReconcileCounts& counts);
  void (*set)(ReconcileCounts& counts, size_t value);
};
std::span<const CycleFigure> cycleFigures();

// One outcome, by its name (the same in every vocabulary).
struct CycleOutcomeName {
  CycleOutcome outcome;
  std::string_view name;  // "completo"
};
std::span<const CycleOutcomeName> cycleOutcomeNames();
std::string_view cycleOutcomeName(CycleOutcome outcome);

// One held-back state, by its name (the same in every vocabulary).
struct HeldBackState {
  uint32_t bit;
  std::string_view name;  // "limite_remocoes"
};
std::span<const HeldBackState> heldBackStates();

// ---- the forms -------------------------------------------------------------

// The status of the last cycle, as the status file keeps it.
//
// The file is ASCII, one "key=value" per line:
//   inicio, fim              local start and end of the last cycle (dd/mm/aaaa hh:mm:ss)
//   fim_epoch                its end in seconds since 1970 (UTC)
//   resultado                an outcome's name
//   causa                    why the cycle was not complete: its first Erro
//                            line's message (else its first Atencao line's),
//                            at most 300 bytes, Windows-1252 as the log
//                            writes it; absent for a complete cycle
//   dc                       the domain controller the cycle read the group
//                            from, as the log names it; absent when it read
//                            none
//   <figures>                the counts of the last reconciliation, by statusKey
//                            (kept through cycles that did not reach one;
//                            absent when none ever ran)
//   contagens_epoch          the end of that reconciliation
//   ultimo_completo, ultimo_completo_epoch
//                            the end of the last clean cycle (complete, and
//                            nothing of kHeldWorkLeft held back), also of an
//                            earlier run of the service (absent when none)
//   retido                   the held-back states' names, comma-separated, as
//                            the last reconciliation left them (kept through
//                            cycles that did not reach one); absent when none
//   duracao                  seconds the cycle took
//   intervalo                seconds between cycles
//   proximo                  local time of the next cycle
struct CycleStatus {
  std::string start, end;  // local time, as the log writes it
  int64_t endEpoch = 0;
  CycleOutcome outcome = CycleOutcome::Stopped;
  std::string cause;  // empty for a complete cycle
  std::string domainController;  // empty when the cycle read no group
  std::optional<ReconcileCounts> counts;
  int64_t countsEpoch = 0;   // end of the reconciliation the counts come from
  std::string lastComplete;  // empty when no cycle was ever clean
  int64_t lastCompleteEpoch = 0;
  int32_t intervalSeconds = 0;
  std::string next;
  uint32_t heldBack = 0;  // HeldBack bits
  int64_t durationSeconds = 0;
};

std::string formatCycleStatus(const CycleStatus& status);
// False when `text` is not a status file (no fim_epoch or resultado).
bool parseCycleStatus(std::string_view text, CycleStatus& status);

// The status in Prometheus' text format (gauges named kelvasync_...); the
// domain controller read as the label of an info gauge.
std::string formatCycleMetrics(const CycleStatus& status);

// The one line for systemd: "ultimo ciclo 07/12/2026 15:30:02: completo,
// membros 3, criados 0, ...; proximo ciclo 15:33:02".
std::u16string cycleStatusLine(const CycleStatus& status);

// The journal's sentence for a reconciliation: "Resumo do cruzamento:
// membros lidos 3, criados 0, ...".
std::u16string cycleSummaryLine(const ReconcileCounts& counts);

// The held-back states' names joined by `separator`.
std::string heldBackText(uint32_t bits, std::string_view separator);

// The counts as monitoring plug-ins print them after '|': " membros=3 ...";
// without counts every figure is "U" (not measured).
std::string countsPerfData(const std::optional<ReconcileCounts>& counts);

// The status as the members of one JSON object (without the braces):
// "resultado", "inicio", ..., "contagens". `quote` makes a JSON string of
// 8-bit text.
std::string cycleStatusJsonMembers(const CycleStatus& status, std::string (*quote)(const std::string& text));
