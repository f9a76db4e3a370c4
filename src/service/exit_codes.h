// The exit codes of kelvasync, one meaning each. The usage text and the
// manual page kelvasync(8) list the same codes (a test compares the page
// with kServiceExitCodes).
#pragma once

#include <array>

#include "common/exit_code.h"

enum ServiceExitCode : int {
  // The run ended as asked (a stop, -i, -d, --help, --version); with
  // --once, the cycle was complete and held nothing back.
  kExitOk = 0,
  // --once: settings the cycle needs are missing.
  kExitConfiguration = 1,
  // --once: the group, or some of its members, could not be read, or the
  // read found no member while managed users exist.
  kExitDirectory = 2,
  // --once: the HSM could not be listed, or an operation on it failed.
  kExitHsm = 3,
  // A start refused before the first cycle: the data, state or runtime
  // folder cannot be used (missing, not writable, writable by others, owned
  // by a stranger), the log cannot be written, or the instance lock cannot
  // be taken.
  kExitDataFolder = 4,
  // --once: the cycle ran to its end but held something back or found
  // something a person must act on.
  kExitHeldBack = 5,
  // A start refused: another instance runs on this machine. The systemd
  // unit does not restart after it (RestartPreventExitStatus=).
  kExitAnotherInstance = 6,
  // --once: a stop request ended the cycle before its end.
  kExitStopped = 7,
  // -i or -d failed (the output names the cause).
  kExitInstallFailed = 8,
  // Service mode, started from a shell instead of by the service manager.
  kExitNotStartedByServiceManager = 9,
  // The command line cannot run: an unknown option.
  kExitUsage = 64,
};

// Every code with its meaning, as the usage text prints it.
inline constexpr std::array<ExitCodeMeaning, 11> kServiceExitCodes = {{
    {kExitOk, "fim normal; com --once, ciclo completo sem nada retido"},
    {kExitConfiguration, "--once: configuracao incompleta"},
    {kExitDirectory, "--once: o grupo (ou algum membro) nao pode ser lido"},
    {kExitHsm, "--once: o HSM nao pode ser lido, ou uma operacao falhou"},
    {kExitDataFolder, "inicio recusado: a pasta de dados, o log ou a trava nao podem ser usados"},
    {kExitHeldBack, "--once: ciclo ate o fim, mas algo ficou retido"},
    {kExitAnotherInstance, "inicio recusado: outra instancia estah em execucao"},
    {kExitStopped, "--once: interrompido por um pedido de parada"},
    {kExitInstallFailed, "-i ou -d falhou"},
    {kExitNotStartedByServiceManager, "modo servico iniciado fora do gerenciador de servicos"},
    {kExitUsage, "opcao desconhecida"},
}};

// Service-specific codes the service reports to the service manager when
// its own status reports fail (Windows: with ERROR_SERVICE_SPECIFIC_ERROR):
// the control handler could not be registered, or a status report failed.
inline constexpr int kServiceCodeHandlerNotRegistered = 1;
inline constexpr int kServiceCodeStatusReportFailed = 2;
