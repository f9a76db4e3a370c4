#include "service/service_control.h"

#include <mutex>

#include "runtime/process_state.h"
#include "logging/log.h"
#include "platform/console.h"
#include "service/exit_codes.h"

platform::ServiceStatus serviceStatus;
platform::ServiceStatusHandle serviceStatusHandle = 0;

namespace {

constexpr char16_t kServiceName[] = u"kelvasync";

// Serialises updates and reports of serviceStatus between the control
// handler's thread and the service thread. Never held while logging.
std::mutex statusLock;

void updateRecord(int32_t state, int32_t checkPoint) {
  if (checkPoint >= 0) {
    serviceStatus.checkPoint = static_cast<uint32_t>(checkPoint);
  } else {
    serviceStatus.checkPoint += 1;
  }
  if (state >= 0) serviceStatus.currentState = static_cast<uint32_t>(state);
}

void stopWithControlLines() {
  writeJournaledLog(Info, u"Inicio da requisicao para termino do servico");
  writeJournaledLog(Info, u"Notificacao de 'shutdown' recebida");
  storeStopRequested(true);
  writeJournaledLog(Info, u"Todas as funcoes foram notificadas para termino do servico");
}

}  // namespace

namespace {

// The word systemd shows for a state (STATUS=) until the cycles announce
// themselves.
std::u16string_view stateWord(uint32_t state) {
  switch (state) {
    case platform::kServiceStopped: return u"parado";
    case platform::kServiceStartPending: return u"iniciando";
    case platform::kServiceStopPending: return u"parando";
    case platform::kServiceRunning: return u"em execucao";
    default: return u"estado desconhecido";
  }
}

}  // namespace

void reportServiceStatus(int32_t state, int32_t checkPoint) {
  {
    std::lock_guard<std::mutex> guard(statusLock);
    updateRecord(state, checkPoint);
    if (!serviceMode) return;
    if (platform::setServiceStatus(serviceStatusHandle, serviceStatus, stateWord(serviceStatus.currentState))) return;
    // The SERVICE_STOPPED report follows the failed one under the same hold
    // of the lock, so no other report can come between them; the error is
    // logged after the lock is released.
    serviceStatus.win32ExitCode = platform::kErrorServiceSpecificError;
    serviceStatus.serviceSpecificExitCode = kServiceCodeStatusReportFailed;
    updateRecord(platform::kServiceStopped, kKeep);
    // One last attempt: when this report fails too there is nobody left to
    // tell, and retrying it here would loop for ever.
    platform::setServiceStatus(serviceStatusHandle, serviceStatus, stateWord(serviceStatus.currentState));
  }
  writeLog(Error, u"Impossivel setar o status do servico");
}

void serviceMain() {
  {
    std::lock_guard<std::mutex> guard(statusLock);
    serviceStatus = platform::ServiceStatus{};
    serviceStatus.serviceType = platform::kServiceWin32OwnProcess;
    serviceStatus.currentState = platform::kServiceStartPending;
    serviceStatus.controlsAccepted = platform::kServiceAcceptStop | platform::kServiceAcceptShutdown;
    serviceStatus.waitHint = 2000;
  }

  // The control handler may run on the dispatcher's thread as soon as it is
  // registered, and reads the handle under the lock.
  const platform::ServiceStatusHandle handle =
      platform::registerServiceControlHandler(kServiceName, serviceControlHandler);
  {
    std::lock_guard<std::mutex> guard(statusLock);
    serviceStatusHandle = handle;
  }
  if (handle == 0) {
    writeLog(Error, u"Nao foi possivel registar Service Controle Handler");
    {
      std::lock_guard<std::mutex> guard(statusLock);
      serviceStatus.currentState = platform::kServiceStopped;
      serviceStatus.win32ExitCode = platform::kErrorServiceSpecificError;
      serviceStatus.serviceSpecificExitCode = kServiceCodeHandlerNotRegistered;
    }
    reportServiceStatus(platform::kServiceStopped, kKeep);
    return;
  }

  {
    std::lock_guard<std::mutex> guard(statusLock);
    platform::setServiceStatus(serviceStatusHandle, serviceStatus,  // first report, result ignored
                               stateWord(serviceStatus.currentState));
  }
  writeJournaledLog(Info, u"Notificacao para continuar o servico recebida");
  storeStopRequested(false);

  reportServiceStatus(kKeep, kKeep);
  reportServiceStatus(platform::kServiceRunning, kKeep);
  if (!isStopRequested()) {
    reportServiceStatus(kKeep, kKeep);
    runWorkerAndWatch();
  }
  reportServiceStatus(platform::kServiceStopped, 0);
}

uint32_t refusedStartExitCode = kExitAnotherInstance;
std::u16string refusedStartReason;
std::atomic<bool> workerAbandoned{false};

void refusedServiceMain() {
  platform::ServiceStatus status;
  status.serviceType = platform::kServiceWin32OwnProcess;
  status.currentState = platform::kServiceStopped;
  status.win32ExitCode = platform::kErrorServiceSpecificError;
  status.serviceSpecificExitCode = refusedStartExitCode;
  const platform::ServiceStatusHandle handle =
      platform::registerServiceControlHandler(kServiceName, [](uint32_t) {});
  if (handle != 0) platform::reportServiceRefused(handle, status, refusedStartReason);
}

void serviceControlHandler(uint32_t control) {
  if (control == platform::kServiceControlStop || control == platform::kServiceControlShutdown) {
    stopWithControlLines();
    reportServiceStatus(platform::kServiceStopPending, kKeep);
  }
  reportServiceStatus(kKeep, kKeep);
}

void runWorkerAndWatch() {
  const platform::ThreadHandle worker = platform::startThread(workerThread, nullptr);
  {
    platform::TimerEvent timer;
    if (timer.valid() && !isStopRequested()) {
      do {
        timer.wait(1000);
        if (serviceMode) reportServiceStatus(kKeep, kKeep);
        if (platform::escapeKeyDown()) {
          writeLog(Info, u"A tecla ESC foi pressionada");
          writeLog(Info, u"Notificacao de 'shutdown' recebida");
          storeStopRequested(true);
        }
        // A console run also stops on SIGINT/SIGTERM (Linux) and on Ctrl+C
        // or Ctrl+Break (Windows), through the service manager's stop path.
        if (!serviceMode && platform::terminationSignalReceived()) {
          serviceControlHandler(platform::kServiceControlStop);
        }
      } while (!isStopRequested());
    }
  }
  writeJournaledLog(Info, u"Servico em modo de encerramento");
  // The worker ends after the step in hand. Inside the directory, before any
  // HSM change of the cycle, that step is not waited for past a few seconds:
  // a directory that accepts and never answers must not hold a stop (the
  // system's own time-outs may be long, or, under some LDAP stacks, absent).
  // An HSM call is always waited for; its own time-outs bound it.
  constexpr int kDirectoryGraceSeconds = 2;
  int secondsInOneCall = 0;
  uint64_t lastSerial = directoryStepSerial();
  while (!platform::waitThreadFor(worker, 1000)) {
    if (serviceMode) reportServiceStatus(kKeep, kKeep);
    const char16_t* step = currentDirectoryStep();
    const uint64_t serial = directoryStepSerial();
    secondsInOneCall = step != nullptr && serial == lastSerial ? secondsInOneCall + 1 : 0;
    lastSerial = serial;
    if (secondsInOneCall >= kDirectoryGraceSeconds) {
      writeLog(Warning, u"A etapa '%s' do diretorio nao retornou; o servico termina sem espera-la", step);
      workerAbandoned = true;
      return;
    }
  }
}
