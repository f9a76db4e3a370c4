// The exit codes of kelvasync-check, one meaning each. The usage text and
// the manual page kelvasync-check(8) list the same codes (a test compares
// the page with kCheckExitCodes and kPluginStates).
#pragma once

#include <array>

#include "common/exit_code.h"

// The plain check and --json. When several findings apply, the lowest code
// wins.
enum CheckExitCode : int {
  kCheckOk = 0,         // everything reachable, the guard would not trip
  kCheckConfig = 1,     // a key of the INI file is missing or bad, or the installation is
  kCheckDirectory = 2,  // the group, or some of its members, could not be read
  kCheckHsm = 3,        // the HSM could not be listed, or addb not read
  kCheckGuard = 4,      // the mass-removal guard would stop pass 2, or the plan would cost every managed user
  kCheckTimedOut = 5,   // --timeout ran out before the check ended
  // Nothing failed, but a login was not tried: its password is a systemd
  // credential that only the service receives.
  kCheckNotTried = 6,
  kCheckUsage = 64,  // the command line cannot run
};

// --nagios and --status: the states of a monitoring plug-in. A usage error
// is UNKNOWN there, as plug-ins report it.
enum PluginState : int { kPluginOk = 0, kPluginWarning = 1, kPluginCritical = 2, kPluginUnknown = 3 };

inline constexpr std::array<ExitCodeMeaning, 8> kCheckExitCodes = {{
    {kCheckOk, "tudo acessivel e a trava de remocoes em massa nao dispararia"},
    {kCheckConfig, "chave ausente ou invalida, arquivo de configuracao ilegivel ou pasta do log ausente"},
    {kCheckDirectory, "o grupo do diretorio, ou algum de seus membros, nao pode ser lido"},
    {kCheckHsm,
     "o HSM nao pode ser lido (conexao, listagem de usuarios ou 'addb'), ou a conta [hsm] nao alcanca os objetos de "
     "IntegracaoAD"},
    {kCheckGuard, "a trava de remocoes em massa dispararia, ou o plano custaria todos os usuarios gerenciados"},
    {kCheckTimedOut, "o limite de --timeout esgotou"},
    {kCheckNotTried,
     "nada falhou, mas um login nao foi tentado: a senha eh uma credencial do systemd que so o servico recebe"},
    {kCheckUsage, "erro de uso (opcao desconhecida, valor ausente ou invalido, opcoes que nao combinam)"},
}};

inline constexpr std::array<ExitCodeMeaning, 4> kPluginStates = {{
    {kPluginOk, "OK"},
    {kPluginWarning, "WARNING"},
    {kPluginCritical, "CRITICAL"},
    {kPluginUnknown, "UNKNOWN"},
}};
