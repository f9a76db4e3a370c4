// kelvasync-check: a dry run of the service. It reads the INI file, the
// directory group and the HSM through the service's own code, works out
// what the next update cycle would do, and changes nothing: no HSM write,
// no line in the service's log, no session left open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/records.h"
#include "exit_codes.h"
#include "sync/cycle_status.h"


// One key of the INI file as the check found it.
struct KeyFinding {
  std::string section, key;
  enum Status { Ok, Missing, Bad, Note } status = Ok;
  std::string detail;  // the value (never a password), or what is wrong
  // A sealed password that only the service started by systemd receives:
  // the login that needs it is not tried, rather than failed.
  bool onlyTheServiceHasIt = false;
  std::string credential = {};  // that credential's name
};

struct CheckReport {
  // Configuration.
  std::string iniPath;
  bool iniExists = false;
  bool iniReadable = false;  // by the account running the check
  bool iniReadableByOthers = false;
  bool iniLooksUtf8 = false;  // text beyond ASCII saved as UTF-8, not Windows-1252
  std::string logFolder;  // the service's data folder; empty when not checked
  bool logFolderExists = true;
  bool logFolderWritable = true;  // by this account: run the check as the service's
  std::string logFolderAdvice;    // for a missing folder: what to create
  std::vector<KeyFinding> keys;

  // Directory. directoryNotTried: its password is a credential only the
  // service receives, so the bind was not tried.
  bool directoryChecked = false, directoryOk = false, directoryNotTried = false;
  MemberList members;
  size_t notUsers = 0;             // elements that are not users (all fields empty)
  uint32_t unreadableMembers = 0;  // elements that could not be read
  std::vector<std::string> directoryMessages;
  // Each domain controller of [activedirectory] host (or of its discovery)
  // with what the read or a probe of its own found, and the one the group
  // was read from (empty: none).
  struct DomainControllerResult {
    std::string name, result;
  };
  std::vector<DomainControllerResult> domainControllers;
  std::string domainControllerRead;

  // HSM. hsmNotTried: its password is a credential only the service
  // receives, so the login was not tried; its host was probed instead
  // (hsmReachable, and the probe's words in hsmConnection).
  bool hsmChecked = false, hsmOk = false, hsmNotTried = false, hsmReachable = false;
  std::string hsmConnection;
  int32_t listCode = 0;
  std::vector<std::string> hsmUsers;
  // The code of a read of IntegracaoAD's addb by the [hsm] account, in the
  // listing's session (kHsmObjectNotTried when not tried): an account that
  // cannot reach those objects cannot save addb.
  int32_t integracaoObjectsCode = -1;
  // A command that runs the check as the service, with the unit's
  // credentials, when a login was not tried; empty when none can be given
  // (tryAsServiceWhyNot says why).
  std::string tryAsService, tryAsServiceWhyNot;
  bool addbReadable = false;
  size_t addbRecords = 0;
  MemberList addbMembers;
  std::vector<std::string> hsmMessages;

  // The next cycle, when both sides were read.
  bool planned = false;
  // block: users who left since the last complete read; keepBlocked: users
  // the service blocked in an earlier cycle, blocked again.
  std::vector<std::string> create, unblock, block, keepBlocked, remove, report, unmanaged;
  std::vector<std::string> membersWithoutId;  // logons whose identifier could not be derived
  std::string policy;                          // "remover", "bloquear", "somente relatar"
  bool passTwoSkipped = false;
  std::string passTwoReason;
  bool guardTrips = false;
  // The plan would block or remove every managed user, or the read found no
  // member while managed users exist: why, in one line; empty otherwise.
  std::string everyUserAtRisk;
  std::vector<std::string> collisions;  // identifiers shared by several logons, one line each

  int exitCode = kCheckOk;
};

// Bounds the waits of the network steps so that, with the run limited to
// `seconds` (kelvasync-check --timeout), a directory or HSM that fails in
// the usual ways is reported before the limit. Call before runCheck.
void tuneCheckTimeouts(uint32_t seconds);

// The step runCheck is in: "configuracao", "diretorio", "HSM" or "plano".
// Any thread may ask.
const char* checkStepInProgress();

// Runs every check. Lines the service's code logs meanwhile are captured
// into the report instead of reaching the service's log. `serviceFiles`:
// the INI is the service's own, so its installation (the log's folder) is
// checked too.
CheckReport runCheck(bool serviceFiles);

// The report as text for a person, and as one JSON document.
std::string renderText(const CheckReport& report);
std::string renderJson(const CheckReport& report);

// --status --json: the service's last cycle and the health judged from it.
std::string renderStatusJson(const std::optional<CycleStatus>& status, const ServiceHealth& health);

// The report as a Nagios/Icinga plug-in sees it: the state, and one line
// "KELVASYNC-CHECK <state> - <what> | <perfdata>". Unlike the exit codes of
// the plain check (the lowest wins), the worst finding decides: CRITICAL
// when the group or the HSM could not be read or the plan trips a guard
// (PERIGO, maxremovals), WARNING for findings in the configuration alone,
// UNKNOWN when nothing failed but a login could not be tried here.
PluginState nagiosState(const CheckReport& report);
std::string renderNagios(const CheckReport& report);
