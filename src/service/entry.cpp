#include "service/entry.h"

#include <string>
#include <string_view>

#include "build_info.h"
#include "common/process_state.h"
#include "common/text.h"
#include "config/config.h"
#include "logging/event_log_lines.h"
#include "logging/log.h"
#include "platform/console.h"
#include "platform/service_manager.h"
#include "platform/system.h"
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
    writeLog(Info, u"Versao deste servico %d.%d.%d (maior, menor, revisao)", unsigned{version.major},
             unsigned{version.minor}, unsigned{version.revision});
  }
}

// The lock of the one running instance lies beside the log: kelvasync.lock.
std::u16string instanceLockPath() {
  const std::u16string log = logFilePath();
  constexpr std::u16string_view kLogExtension = u"log";
  return log.substr(0, log.size() - kLogExtension.size()) + u"lock";
}

}  // namespace

int runKelvasync(int argc, const char16_t* const argv[]) {
  serviceMode = false;

  int install = 0;
  hasOption(argc, argv, u"i", {&install, nullptr});
  if (install) {
    installService();
    return 0;
  }
  int remove = 0;
  hasOption(argc, argv, u"d", {&remove, nullptr});
  if (remove) {
    uninstallService();
    return 0;
  }
  int console = 0;
  hasOption(argc, argv, u"c", {&console, nullptr});
  serviceMode = console == 0;

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

  // One instance at a time: a second one would race the first for the log
  // and the HSM. It leaves before writing anything, the first untouched.
  if (!platform::claimSingleInstance(instanceLockPath())) {
    const std::u16string refusal =
        u"Ja existe outra instancia do kelvasync em execucao neste computador. Esta instancia nao sera iniciada.";
    platform::writeConsoleLine(refusal);
    reportStartupFailureEvent(refusal);
    if (serviceMode) platform::runServiceDispatcher(kServiceName, refusedServiceMain);
    return static_cast<int>(kExitCodeAnotherInstance);
  }

  if (!openLogFile()) {
    reportStartupFailureEvent(formatWide(
        u"Nao foi possivel abrir o arquivo de log %s (a pasta existe? outro programa o mantem aberto?); o "
        u"kelvasync nao foi iniciado",
        logFilePath()));
    return 0;
  }
  platform::closeFile(logFileHandle);
  logFileHandle = platform::kInvalidFile;

  const LogSizeSetting logSize = readLogSizeSetting();
  logSizeLimitBytes = logSize.bytes;

  writeLog(Info, u"Log iniciado");
  if (!logSize.valid) {
    writeLog(Warning,
             u"O valor de maxsizemb da secao log (%s) nao eh um numero de megabytes valido; o log nao serah "
             u"limitado",
             widenText(logSize.value));
  }
  logVersionLine();
  if (platform::lowerProcessPriority()) {
    writeLog(Info, u"Esse processo estah executando com baixa prioridade de CPU");
  } else {
    writeLog(Warning, u"Nao foi possivel diminuir a prioridade deste processo");
    writeLog(Info, u"Esse processo estah executando com prioridade normal");
  }
  writeLogAndEvent(Info, serviceMode ? u"Servico iniciado"
                                     : u"Modo console. Pressione e segure a tecla ESC para cancelar a execucao");
  writeLog(Info, u"Para atendimento de suporte envie e-mail para '%s' ou Skype '%s'", KV_SUPPORT_EMAIL,
           KV_SUPPORT_SKYPE);
  // stateLock exists from here (a process-wide object).
  writeLog(Info, u"Variaveis inicializadas");

  if (serviceMode) {
    platform::runServiceDispatcher(kServiceName, serviceMain);  // result ignored
  } else {
    reportServiceStatus(kKeep, kKeep);
    reportServiceStatus(platform::kServiceRunning, kKeep);
    if (!isStopRequested()) {
      reportServiceStatus(kKeep, kKeep);
      runWorkerAndWatch();
    }
  }

  writeLogAndEvent(Info, u"Servico parado");
  writeLog(Info, u"Variaveis finalizadas");
  writeLog(Info, u"Log parado");
  return 0;
}
