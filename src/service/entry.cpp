#include "service/entry.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "build_info.h"
#include "runtime/process_state.h"
#include "common/text.h"
#include "config/config.h"
#include "logging/event_log_lines.h"
#include "logging/log.h"
#include "platform/console.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "service/exit_codes.h"
#include "service/install.h"
#include "service/options.h"
#include "service/service_control.h"

namespace {

constexpr char16_t kServiceName[] = u"kelvasync";

void showConsoleBanner() {
  platform::setPortugueseLocale();
  const bool fontSet = platform::setConsoleFont();
  platform::writeConsoleLine(u"");
  platform::writeConsoleLine(u"Karvell Networks - Serviço KELVASYNC executando em modo console.");
  platform::writeConsoleLine(u"");
  platform::writeConsoleLine(u"Página de Código: " + platform::currentLocaleName());
  if (fontSet) {
    platform::writeConsoleLine(u"Fonte: 'True Type Lucida Console' com tamanho 11 de largura por 18 de altura.");
  }
  platform::writeConsoleLine(u"");
  platform::writeConsoleLine(u"Todo o LOG mostrado será salvo normalmente no arquivo de LOGs.");
  platform::writeConsoleLine(u"");
}

void logVersionLine() {
  platform::VersionNumbers version;
  if (platform::readOwnProductVersion(version)) {
    writeJournaledLog(Info, u"Versao deste servico %d.%d.%d (maior, menor, revisao)", unsigned{version.major},
             unsigned{version.minor}, unsigned{version.revision});
  }
}

constexpr char16_t kUsage[] =
    u"Uso: kelvasync [opcao]\n"
    u"  (nenhuma)     modo servico: iniciado pelo gerenciador de servicos (Windows ou systemd)\n"
    u"  -c            modo console: o log aparece tambem no terminal; ESC ou Ctrl+C para parar\n"
    u"  -i            instala o servico        -d   remove o servico\n"
    u"  --once        um ciclo em modo console, sem a pausa inicial, e termina\n"
    u"  --version     mostra a versao\n"
    u"  --help, -h, /?  mostra esta ajuda\n"
    u"Codigos de saida:";

void printUsage(void (*write)(std::u16string_view)) {
  std::u16string_view text = kUsage;
  while (!text.empty()) {
    const size_t end = text.find(u'\n');
    write(text.substr(0, end));
    text.remove_prefix(end == std::u16string_view::npos ? text.size() : end + 1);
  }
  for (const ExitCodeMeaning& code : kServiceExitCodes) {
    std::string line = "  " + std::to_string(code.code);
    line.resize(6, ' ');
    write(asciiToUtf16(line + std::string(code.meaning)));
  }
}

int exitCodeOf(const CycleResult& result) {
  switch (result.outcome) {
    case CycleOutcome::Complete: return result.heldBack != 0 ? kExitHeldBack : kExitOk;
    case CycleOutcome::Configuration: return kExitConfiguration;
    case CycleOutcome::Directory: return kExitDirectory;
    case CycleOutcome::Hsm: return kExitHsm;
    case CycleOutcome::Stopped: return kExitStopped;
  }
  return kExitStopped;
}

// Ends a start that cannot go on before the first cycle: one line naming
// the cause on standard error, and in service mode a stop report with the
// service-specific code, which `sc query` and systemd show.
int refuseStart(std::u16string_view line, uint32_t serviceExitCode) {
  // An error to the journal (priority 3) when standard error is the journal.
  platform::writeErrorLineAt(3, std::u16string(u"kelvasync: ") + std::u16string(line));
  reportStartupFailureEvent(std::u16string(line));
  if (serviceMode) {
    refusedStartExitCode = serviceExitCode;
    refusedStartReason = line;
    platform::runServiceDispatcher(kServiceName, refusedServiceMain);
  }
  return static_cast<int>(serviceExitCode);
}

// Why the log at `path` cannot be opened, in one line.
std::u16string logFailureLine(const std::u16string& path) {
  const std::filesystem::path file(path);
  std::error_code error;
  const std::u16string folder = file.parent_path().u16string();
  if (!std::filesystem::is_directory(file.parent_path(), error)) {
    return u"a pasta do log '" + folder + u"' nao existe; " + missingLogFolderAdvice(folder);
  }
  const std::filesystem::file_status status = std::filesystem::symlink_status(file, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
      !std::filesystem::is_symlink(status)) {
    return u"o log '" + path + u"' nao eh um arquivo comum (um FIFO, uma pasta ou um dispositivo); remova-o";
  }
  if (std::filesystem::is_regular_file(status) && std::filesystem::hard_link_count(file, error) > 1) {
    return u"o log '" + path + u"' tem outros nomes (links fisicos), que podem ser qualquer arquivo; remova-o";
  }
  return u"nao foi possivel abrir o log '" + path +
         u"' para escrita (permissao negada, ou outro programa o mantem aberto); execute com a conta do "
         u"servico ou como administrador";
}

// The lock of the one running instance: kelvasync.lock in the runtime
// folder (beside the log unless the product folder has a `run`).
std::u16string instanceLockPath() { return platform::productPath(runtimeFolderPath(), u"\\kelvasync.lock"); }

// "0775" for a folder's permission bits.
std::string octalMode(uint32_t mode) {
  std::string text;
  for (int shift = 9; shift >= 0; shift -= 3) text.push_back(static_cast<char>('0' + ((mode >> shift) & 7)));
  return text;
}

// Why the start must not use `folder` for the log, the status or the lock,
// in one line; empty when it may. Another account that owns the folder, or
// may write in it, could replace those files, or put a FIFO or a link where
// one should be. A state or runtime folder of its own (not the data folder,
// whose absence the log's open reports) must exist: the lock must not be
// skipped for want of its folder.
std::u16string unsafeFolderReason(const std::u16string& folder) {
  uint32_t folderMode = 0;
  if (platform::folderWritableByOthers(folder, folderMode)) {
    return formatWide(u"A pasta %s pode ser alterada por outros usuarios (permissoes %s); o kelvasync nao sera "
                      u"iniciado. Restrinja-a, por exemplo com chmod 750.",
                      folder, asciiToUtf16(octalMode(folderMode)));
  }
  std::u16string owner;
  if (platform::folderOwnedByStranger(folder, owner)) {
    return formatWide(u"A pasta %s pertence ao usuario %s, que nao eh o do servico nem root; o kelvasync nao sera "
                      u"iniciado. Passe-a a conta do servico, por exemplo com chown kelvasync.",
                      folder, owner);
  }
  std::error_code error;
  if (folder != dataFolderPath() && !std::filesystem::is_directory(std::filesystem::path(folder), error)) {
    return u"A pasta " + folder + u" nao existe; o kelvasync nao sera iniciado (o servico nunca cria pastas).";
  }
  return {};
}

}  // namespace

int runKelvasync(int argc, const char16_t* const argv[]) {
  serviceMode = false;

  // The long options first: none of them may run, install or remove the
  // service by the letters it happens to hold.
  const CommandLine line = readCommandLine(argc, argv);
  switch (line.option) {
    case LongOption::Help:
      printUsage(platform::writeConsoleLine);
      return kExitOk;
    case LongOption::Unknown:
      platform::writeErrorLine(u"kelvasync: opcao desconhecida: " + line.unknown);
      printUsage(platform::writeErrorLine);
      return kExitUsage;
    case LongOption::Version:
      platform::writeConsoleLine(u"kelvasync " + asciiToUtf16(KV_VERSION_TEXT));
      return kExitOk;
    case LongOption::Once:
      singleCycleRun = true;
      break;
    case LongOption::None: break;
  }
  const int letterCount = static_cast<int>(line.letterArguments.size());
  const char16_t* const* letters = line.letterArguments.data();

  int install = 0;
  hasOption(letterCount, letters, u"i", {&install, nullptr});
  if (install) return installService() ? kExitOk : kExitInstallFailed;
  int remove = 0;
  hasOption(letterCount, letters, u"d", {&remove, nullptr});
  if (remove) return uninstallService() ? kExitOk : kExitInstallFailed;
  int console = 0;
  hasOption(letterCount, letters, u"c", {&console, nullptr});
  serviceMode = console == 0 && !singleCycleRun;

  if (!serviceMode) {
    showConsoleBanner();
    platform::prepareConsoleStopSources();
  } else {
    platform::prepareServiceStopSources();
  }

  // logLock exists from here (a process-wide object).
  programFilesDir = platform::programFilesFolder();

  // From here the start, the stop, every Erro line and every failure that
  // ends the start-up also reach the system's event log: a service that ends
  // at once leaves its reason where an administrator looks.
  eventLogEnabled = true;

  // A folder of the log, the status or the lock that others may change
  // would let them replace those files, or hold them so that lines are
  // lost: refuse it.
  for (const std::u16string& folder : {dataFolderPath(), stateFolderPath(), runtimeFolderPath()}) {
    if (const std::u16string reason = unsafeFolderReason(folder); !reason.empty()) {
      return refuseStart(reason, kExitDataFolder);
    }
  }

  // One instance at a time: a second one would race the first for the log
  // and the HSM. It leaves before writing anything, the first untouched. A
  // lock that cannot be taken for any other reason refuses the start too.
  std::u16string lockError;
  const platform::InstanceClaim claim = platform::claimSingleInstance(instanceLockPath(), lockError);
  switch (claim) {
    case platform::InstanceClaim::Claimed: break;
    case platform::InstanceClaim::HeldByAnother:
      return refuseStart(u"Ja existe outra instancia do kelvasync em execucao neste computador. Esta instancia nao "
                         u"sera iniciada.",
                         kExitAnotherInstance);
    case platform::InstanceClaim::NotRegularFile:
    case platform::InstanceClaim::HardLinked:
    case platform::InstanceClaim::Failed: {
      const std::u16string cause = claim == platform::InstanceClaim::NotRegularFile ? u"nao eh um arquivo comum"
                                   : claim == platform::InstanceClaim::HardLinked
                                       ? u"tem outros nomes (links fisicos); remova-o"
                                       : lockError;
      return refuseStart(formatWide(u"Nao foi possivel obter a trava de instancia unica %s (%s); o kelvasync nao "
                                    u"sera iniciado.",
                                    instanceLockPath(), cause),
                         kExitDataFolder);
    }
  }

  if (!openLogFile()) return refuseStart(logFailureLine(logFilePath()), kExitDataFolder);
  platform::closeFile(logFileHandle);
  logFileHandle = platform::kInvalidFile;

  const LogSizeSetting logSize = readLogSizeSetting();
  logSizeLimitBytes = logSize.bytes;

  // Opening is not writing: a full disk or a quota takes the file but no
  // line, and a service whose log stays empty must not run unseen.
  if (!writeJournaledLog(Info, u"Log iniciado")) {
    return refuseStart(u"nao foi possivel gravar no log '" + logFilePath() +
                           u"' (disco cheio, cota esgotada ou arquivo inacessivel); o kelvasync nao sera iniciado",
                       kExitDataFolder);
  }
  if (!logSize.valid) {
    writeLog(Warning,
             u"O valor de maxsizemb da secao log (%s) nao eh um numero de megabytes valido; o log nao serah "
             u"limitado",
             widenText(logSize.value));
  }
  logVersionLine();
  if (platform::lowerProcessPriority()) {
    writeJournaledLog(Info, u"Esse processo estah executando com baixa prioridade de CPU");
  } else {
    writeLog(Warning, u"Nao foi possivel diminuir a prioridade deste processo");
    writeJournaledLog(Info, u"Esse processo estah executando com prioridade normal");
  }
  writeLogAndEvent(Info, serviceMode ? u"Servico iniciado"
                                     : u"Modo console. Pressione e segure a tecla ESC para cancelar a execucao");
  writeJournaledLog(Info, u"Para atendimento de suporte envie e-mail para '%s' ou Skype '%s'", KV_SUPPORT_EMAIL,
           KV_SUPPORT_SKYPE);
  // stateLock exists from here (a process-wide object).
  writeJournaledLog(Info, u"Variaveis inicializadas");

  int exitCode = kExitOk;
  if (serviceMode) {
    if (!platform::runServiceDispatcher(kServiceName, serviceMain)) {
      // Started from a shell rather than by the service manager.
      writeLog(Error, u"O processo nao foi iniciado pelo gerenciador de servicos; para rodar num terminal use -c");
      platform::writeErrorLine(
          u"kelvasync: este processo nao foi iniciado pelo gerenciador de servicos (Windows ou systemd); para "
          u"rodar num terminal use -c, e para um unico ciclo --once");
      exitCode = kExitNotStartedByServiceManager;
    }
  } else {
    reportServiceStatus(kKeep, kKeep);
    reportServiceStatus(platform::kServiceRunning, kKeep);
    if (!isStopRequested()) {
      reportServiceStatus(kKeep, kKeep);
      runWorkerAndWatch();
    }
  }

  writeLogAndEvent(Info, u"Servico parado");
  writeJournaledLog(Info, u"Variaveis finalizadas");
  writeJournaledLog(Info, u"Log parado");
  if (singleCycleRun) exitCode = exitCodeOf(singleCycleResult);
  // A worker still inside a directory call must not see the process torn
  // down around it.
  if (workerAbandoned) platform::endProcessNow(exitCode);
  return exitCode;
}
