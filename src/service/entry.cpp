#include "service/entry.h"

#include <string>
#include <string_view>

#include "build_info.h"
#include "common/process_state.h"
#include "common/text.h"
#include "config/config.h"
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

// "0775" for a folder's permission bits.
std::string octalMode(uint32_t mode) {
  std::string text;
  for (int shift = 9; shift >= 0; shift -= 3) text.push_back(static_cast<char>('0' + ((mode >> shift) & 7)));
  return text;
}

// The folder of the log and the lock.
std::u16string dataFolderPath() {
  const std::u16string log = logFilePath();
  return log.substr(0, log.find_last_of(u"/\\"));
}

// Says why the start is refused, on the console (the log lies in the folder
// that is not trusted), tells the service manager, and returns the code.
int refuseStart(const std::u16string& message, uint32_t code) {
  platform::writeConsoleLine(message);
  serviceRefusalCode = code;
  if (serviceMode) platform::runServiceDispatcher(kServiceName, refusedServiceMain);
  return static_cast<int>(code);
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

  // A data folder others may write in would let them replace the log or the
  // lock, or hold them so that lines are lost: refuse it.
  uint32_t folderMode = 0;
  if (platform::folderWritableByOthers(dataFolderPath(), folderMode)) {
    return refuseStart(formatWide(u"A pasta %s pode ser alterada por outros usuarios (permissoes %s); o kelvasync "
                                  u"nao sera iniciado. Restrinja-a, por exemplo com chmod 750.",
                                  dataFolderPath(), asciiToUtf16(octalMode(folderMode))),
                       kExitCodeUnsafeStart);
  }

  // One instance at a time: a second one would race the first for the log
  // and the HSM. It leaves before writing anything, the first untouched. A
  // lock that cannot be taken for any other reason refuses the start too.
  std::u16string lockError;
  switch (platform::claimSingleInstance(instanceLockPath(), lockError)) {
    case platform::InstanceClaim::Claimed: break;
    case platform::InstanceClaim::HeldByAnother:
      return refuseStart(u"Ja existe outra instancia do kelvasync em execucao neste computador. Esta instancia nao "
                         u"sera iniciada.",
                         kExitCodeAnotherInstance);
    case platform::InstanceClaim::Failed:
      return refuseStart(formatWide(u"Nao foi possivel obter a trava de instancia unica %s (%s); o kelvasync nao "
                                    u"sera iniciado.",
                                    instanceLockPath(), lockError),
                         kExitCodeUnsafeStart);
  }

  if (!openLogFile()) return 0;
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
  writeLog(Info, serviceMode ? u"Servico iniciado"
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

  writeLog(Info, u"Servico parado");
  writeLog(Info, u"Variaveis finalizadas");
  writeLog(Info, u"Log parado");
  return 0;
}
