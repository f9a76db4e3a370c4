// kelvasync-check: shows what the service would do in its next cycle,
// without doing it. See check.h for what is read and the exit codes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "check.h"
#include "common/process_state.h"
#include "config/config.h"
#include "platform/files.h"
#include "platform/system.h"
#include "service_environment.h"
#include "sync/cycle_status.h"
#include "watchdog.h"

namespace {

void usage(FILE* to) {
  std::fputs(
      "Uso: kelvasync-check [--json] [--ini ARQUIVO] [--timeout SEGUNDOS]\n"
      "     kelvasync-check --status [--nagios]\n"
      "Verifica o kelvasync sem alterar nada: le o kelvasync.ini como o servico, le o grupo do\n"
      "diretorio, entra no HSM com a conta [hsm], lista os usuarios, confere se a conta IntegracaoAD\n"
      "le 'addb' e mostra o que o proximo ciclo faria. Nada eh gravado no HSM nem no log do servico.\n"
      "Senhas nunca sao mostradas: so se decifram e o seu tamanho.\n"
      "\n"
      "  --json         o mesmo resultado como um documento JSON\n"
      "  --ini ARQUIVO  verifica esse arquivo em vez do kelvasync.ini do servico\n"
      "  --timeout SEGUNDOS\n"
      "                 limite de tempo da verificacao inteira (padrao 10, de 1 a 86400); esgotado, a\n"
      "                 saida nomeia a etapa que nao respondeu e o codigo eh 3\n"
      "  --status       so le o estado que o servico grava apos cada ciclo (kelvasync.status, ao lado do\n"
      "                 log) e responde como um plug-in de monitoracao: 0 ok, 1 atencao (o ultimo ciclo\n"
      "                 nao foi completo), 2 critico (nenhum ciclo completo em duas vezes o intervalo),\n"
      "                 3 desconhecido (sem arquivo de estado)\n"
      "  --nagios       com --status: uma linha com dados de desempenho depois de '|'\n"
      "Variaveis do arquivo /etc/default/kelvasync (as do servico) valem tambem aqui, exceto\n"
      "as ja definidas no ambiente.\n"
      "\n"
      "Codigos de saida:\n"
      "  0  tudo acessivel e a trava de remocoes em massa nao dispararia\n"
      "  1  chave ausente ou invalida, arquivo de configuracao ilegivel ou pasta do log ausente\n"
      "  2  o grupo do diretorio, ou algum de seus membros, nao pode ser lido\n"
      "  3  o HSM nao pode ser lido (listagem de usuarios ou 'addb'), ou o limite de --timeout\n"
      "     esgotou\n"
      "  4  a trava de remocoes em massa impediria a segunda passagem, ou o plano bloquearia ou\n"
      "     removeria todos os usuarios gerenciados (ou nenhum membro foi lido e ha usuarios gerenciados)\n",
      to);
}

// --status: the service's own account of its last cycles, for monitoring.
int reportServiceStatus(bool nagios) {
  programFilesDir = platform::programFilesFolder();
  std::string text;
  std::optional<CycleStatus> status;
  CycleStatus parsed;
  if (platform::readFileContents(cycleStatusPath(), text) && parseCycleStatus(text, parsed)) status = parsed;
  const ServiceHealth health = judgeCycleStatus(status, secondsSinceEpoch());
  const std::string line = health.line + (nagios ? " | " + health.perfData : std::string()) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  return health.code;
}

}  // namespace

int main(int argc, char** argv) {
  platform::keepMemoryPrivate();  // it decrypts both passwords
  bool json = false;
  bool ownIni = true;
  uint32_t timeoutSeconds = 10;
  bool status = false, nagios = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--status") == 0) {
      status = true;
    } else if (std::strcmp(argv[i], "--nagios") == 0) {
      nagios = true;
    } else if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--ini") == 0 && i + 1 < argc) {
      setConfigFilePath(argv[++i]);
      ownIni = false;
    } else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
      const std::string value = argv[++i];
      if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
          std::stoul(value) < 1 || std::stoul(value) > 86400) {
        std::fprintf(stderr, "Valor invalido para --timeout: %s (segundos, de 1 a 86400)\n\n", value.c_str());
        usage(stderr);
        return kCheckConfig;
      }
      timeoutSeconds = static_cast<uint32_t>(std::stoul(value));
    } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "Opcao desconhecida: %s\n\n", argv[i]);
      usage(stderr);
      return kCheckConfig;
    }
  }
  // Before anything reads its settings from the environment (the status
  // file lies under KELVASYNC_PROGRAM_FILES too).
  adoptServiceEnvironment();
  if (status) return reportServiceStatus(nagios);
  tuneCheckTimeouts(timeoutSeconds);
  armCheckWatchdog(timeoutSeconds, json);
  const CheckReport report = runCheck(ownIni);
  disarmCheckWatchdog();
  const std::string text = json ? renderJson(report) : renderText(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return report.exitCode;
}
