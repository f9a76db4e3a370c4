// kelvasync-check: shows what the service would do in its next cycle,
// without doing it. See check.h for what is read and the exit codes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "build_info.h"
#include "check.h"
#include "common/text.h"
#include "config/config.h"
#include "platform/files.h"
#include "platform/system.h"
#include "runtime/process_state.h"
#include "service_environment.h"
#include "sync/cycle_status.h"
#include "watchdog.h"

namespace {

// Plug-in modes (--nagios, --status) report a usage error as UNKNOWN, the
// state plug-ins give a command line they cannot run.
bool pluginMode = false;

void usage(FILE* to) {
  std::fputs(
      "Uso: kelvasync-check [--json | --nagios] [--ini ARQUIVO] [--timeout SEGUNDOS]\n"
      "     kelvasync-check --status [--nagios | --json]\n"
      "     kelvasync-check --help | --version\n"
      "Verifica o kelvasync sem alterar nada: le o kelvasync.ini como o servico, le o grupo do\n"
      "diretorio, entra no HSM com a conta [hsm], lista os usuarios, confere se a conta IntegracaoAD\n"
      "le 'addb' e mostra o que o proximo ciclo faria. Nada eh gravado no HSM nem no log do servico.\n"
      "Senhas nunca sao mostradas: so se decifram e o seu tamanho.\n"
      "\n"
      "  --json         o mesmo resultado como um documento JSON\n"
      "  --nagios       uma linha de plug-in Nagios/Icinga, com dados de desempenho depois de '|', e\n"
      "                 o estado do plug-in como codigo de saida (vale o pior achado)\n"
      "  --ini ARQUIVO  verifica esse arquivo em vez do kelvasync.ini do servico\n"
      "  --timeout SEGUNDOS\n"
      "                 limite de tempo da verificacao inteira (padrao 10, de 1 a 86400); esgotado, a\n"
      "                 saida nomeia a etapa que nao respondeu\n"
      "  --status       so le o estado que o servico grava apos cada ciclo (kelvasync.status, ao lado do\n"
      "                 log) e responde como um plug-in de monitoracao\n"
      "  --nagios       com --status: uma linha com dados de desempenho depois de '|'\n"
      "  --json         com --status: o estado e o seu julgamento como um documento JSON\n"
      "  --version      mostra a versao\n"
      "Variaveis do arquivo /etc/default/kelvasync (as do servico) valem tambem aqui, exceto\n"
      "as ja definidas no ambiente.\n"
      "\n"
      "Codigos de saida (quando varios valem, vale o menor):\n",
      to);
  for (const ExitCodeMeaning& code : kCheckExitCodes) std::fprintf(to, "  %-3d %s\n", code.code, code.meaning.data());
  std::fputs("Com --nagios e com --status, o estado do plug-in (um erro de uso eh UNKNOWN):\n", to);
  for (const ExitCodeMeaning& state : kPluginStates) std::fprintf(to, "  %-3d %s\n", state.code, state.meaning.data());
}

// A command line that cannot run: what is wrong, then the usage, on
// standard error; as a plug-in also one UNKNOWN line on standard output,
// which is what the monitoring system shows.
int usageError(const std::string& what) {
  if (pluginMode) std::printf("KELVASYNC-CHECK UNKNOWN - erro de uso: %s\n", what.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "kelvasync-check: %s\n\n", what.c_str());
  usage(stderr);
  return pluginMode ? int{kPluginUnknown} : int{kCheckUsage};
}

// --status: the service's own account of its last cycles, for monitoring.
int reportServiceStatus(bool nagios, bool json) {
  programFilesDir = platform::programFilesFolder();
  std::string text;
  std::optional<CycleStatus> status;
  CycleStatus parsed;
  const std::u16string path = cycleStatusPath();
  if (platform::readFileContents(path, text) && parseCycleStatus(text, parsed)) status = parsed;
  ServiceHealth health = judgeCycleStatus(status, secondsSinceEpoch());
  // A status this account may not read is a permission, not a service that
  // has not finished a cycle yet.
  std::error_code error;
  const bool exists = std::filesystem::exists(std::filesystem::path(path), error);
  if (!status && (error == std::errc::permission_denied ||
                  (exists && !std::ifstream(std::filesystem::path(path), std::ios::binary).is_open()))) {
    health.line = "KELVASYNC UNKNOWN - o arquivo de estado " + utf16ToUtf8(path) +
                  " nao pode ser lido por esta conta (permissao negada); o servico o grava legivel por todos (0644) "
                  "numa pasta que todos podem atravessar (0751): confira as permissoes do arquivo e das pastas";
  }
  const std::string line = json    ? renderStatusJson(status, health)
                           : nagios && !health.perfData.empty() ? health.line + " | " + health.perfData + "\n"
                                                                : health.line + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  return health.code;
}

}  // namespace

int main(int argc, char** argv) {
  platform::keepMemoryPrivate();  // it decrypts both passwords
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--nagios") == 0 || std::strcmp(argv[i], "--status") == 0) pluginMode = true;
  }
  bool json = false;
  bool ownIni = true;
  uint32_t timeoutSeconds = 10;
  bool status = false, nagios = false, timeoutGiven = false;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--status") == 0) {
      status = true;
    } else if (std::strcmp(argv[i], "--nagios") == 0) {
      nagios = true;
    } else if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--ini") == 0) {
      if (!hasValue) return usageError("falta o ARQUIVO de --ini");
      setConfigFilePath(argv[++i]);
      ownIni = false;
    } else if (std::strcmp(argv[i], "--timeout") == 0) {
      if (!hasValue) return usageError("falta o valor de --timeout (segundos, de 1 a 86400)");
      const std::string value = argv[++i];
      if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
          std::stoul(value) < 1 || std::stoul(value) > 86400) {
        return usageError("valor invalido para --timeout: " + value + " (segundos, de 1 a 86400)");
      }
      timeoutSeconds = static_cast<uint32_t>(std::stoul(value));
      timeoutGiven = true;
    } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      usage(stdout);
      return 0;
    } else if (std::strcmp(argv[i], "--version") == 0) {
      std::fputs("kelvasync-check " KV_VERSION_TEXT "\n", stdout);
      return 0;
    } else {
      return usageError(std::string("opcao desconhecida: ") + argv[i]);
    }
  }
  // Options that would be silently ignored are refused: the caller meant
  // something the run would not do.
  if (json && nagios) return usageError("--json e --nagios nao podem ser usados juntos");
  if (status && (!ownIni || timeoutGiven)) {
    return usageError("--status le so o arquivo de estado do servico: --ini e --timeout nao se aplicam");
  }
  // Before anything reads its settings from the environment (the status
  // file lies under KELVASYNC_PROGRAM_FILES too).
  adoptServiceEnvironment();
  if (status) return reportServiceStatus(nagios, json);
  tuneCheckTimeouts(timeoutSeconds);
  armCheckWatchdog(timeoutSeconds, json ? CheckOutput::Json : nagios ? CheckOutput::Nagios : CheckOutput::Text);
  const CheckReport report = runCheck(ownIni);
  disarmCheckWatchdog();
  const std::string text = json ? renderJson(report) : nagios ? renderNagios(report) : renderText(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return nagios ? nagiosState(report) : report.exitCode;
}
