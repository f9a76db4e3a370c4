#include "service/install.h"

#include <string>

#include "build_info.h"
#include "common/text.h"
#include "platform/console.h"
#include "platform/event_log.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "runtime/process_state.h"
#include "service/systemd_unit.h"

namespace {

constexpr char16_t kServiceName[] = u"kelvasync";
constexpr char16_t kDisplayName[] = u"Integração do Active Directory com os HSMs da Karvell Networks";

std::u16string serviceDescription() {
  return std::u16string(
             u"Monitoramento de Grupo no Active Directory para criação automática de contas nos HSMs da "
             u"Karvell Networks. Em caso de atendimento de Suporte envie um e-mail para '") +
         KV_SUPPORT_EMAIL + u"' ou Skype '" + KV_SUPPORT_SKYPE + u"'.";
}

std::u16string decimal(uint32_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

// The cause of a failed step in plain words, with what to do about it.
std::u16string causeSentence(uint32_t error, bool installing) {
  switch (platform::classifyServiceError(error)) {
    case platform::ServiceError::AccessDenied:
      return u"Causa: permissao negada. Execute o comando como administrador (no Linux, como root).";
    case platform::ServiceError::AlreadyInstalled:
      return u"Causa: o servico kelvasync jah estah instalado. Para reinstala-lo, remova-o antes com kelvasync -d.";
    case platform::ServiceError::NotInstalled:
      if (installing) {
        return u"Causa: o gerenciador de servicos nao foi encontrado (no Linux, a pasta das unidades do systemd "
               u"nao existe). Instale onde o systemd roda, ou rode em primeiro plano com -c.";
      }
      return u"Causa: o servico kelvasync nao estah instalado; nao hah o que remover.";
    case platform::ServiceError::MarkedForDeletion:
      return u"Causa: o servico estah marcado para remocao. Feche o console de Servicos e os programas que o "
             u"consultam, e tente de novo.";
    case platform::ServiceError::Other: break;
  }
  return u"Causa: o sistema recusou o passo com o erro " + decimal(error) +
         u". Tente de novo como administrador; se persistir, procure o Suporte.";
}

// Prints the failure of one step: its fixed text, the system's error code of
// the failing call, the support line, and the cause with what to do.
bool reportFailure(std::u16string_view text, uint32_t error) {
  platform::writeConsoleLine(std::u16string(text) + decimal(error) + u".");
  platform::writeConsoleLine(supportContactLine());
  platform::writeErrorLine(causeSentence(error, text.find(u"desinstalar") == std::u16string_view::npos));
  return false;
}

}  // namespace

std::u16string supportContactLine() {
  return std::u16string(u"Em caso de atendimento de Suporte envie um e-mail para '") + KV_SUPPORT_EMAIL +
         u"' ou Skype '" + KV_SUPPORT_SKYPE + u"'.";
}

bool installService() {
  constexpr char16_t kFailure[] = u"Nao foi possivel instalar o servico. Codigo ";
  platform::ServiceDefinition definition;
  definition.binaryPath = platform::modulePath();
  if (definition.binaryPath.empty()) {
    return reportFailure(std::u16string(kFailure) + u"1-", platform::lastErrorCode());
  }
  platform::ServiceManagerHandle manager = 0;
  if (!platform::openServiceManager(manager)) {
    return reportFailure(std::u16string(kFailure) + u"2-", platform::lastErrorCode());
  }
  definition.name = kServiceName;
  definition.displayName = kDisplayName;
  definition.description = serviceDescription();
  definition.systemdUnit = systemdUnitText(
      definition.description, definition.displayName, utf16ToUtf8(definition.binaryPath),
      platform::programFilesOverride(),
      utf16ToUtf8(platform::productPath(platform::programFilesFolder(), std::u16string(kProductFolder) + u"\\data")));
  platform::ServiceManagerHandle service = 0;
  if (!platform::createService(manager, definition, service)) {
    reportFailure(std::u16string(kFailure) + u"3-", platform::lastErrorCode());
    platform::closeServiceHandle(manager);
    return false;
  }
  platform::setServiceDescription(service, definition.description);  // result ignored
  platform::writeConsoleLine(u"Servico instalado com sucesso.");
  if (!platform::setServiceRecovery(service)) {
    platform::writeConsoleLine(
        u"Atencao: nao foi possivel configurar o reinicio automatico do servico apos uma falha. Codigo " +
        decimal(platform::lastErrorCode()) + u".");
  }
  // The folder's grant to the service's own SID (as the MSI makes it) needs
  // the SID; a system that refuses it leaves the service as it was.
  platform::setServiceOwnSid(service);
  // The service runs without the event source too (its entries then show
  // without their text): say so, but the installation stands.
  if (!platform::registerEventSource(definition.binaryPath)) {
    platform::writeConsoleLine(
        u"Atencao: nao foi possivel registrar a origem de eventos kelvasync no log de Aplicativo. Codigo " +
        decimal(platform::lastErrorCode()) + u".");
  }
  platform::closeServiceHandle(service);
  platform::closeServiceHandle(manager);
  return true;
}

bool uninstallService() {
  constexpr char16_t kFailure[] = u"Nao foi possivel desinstalar o servico. Codigo ";
  platform::ServiceManagerHandle manager = 0;
  if (!platform::openServiceManager(manager)) {
    return reportFailure(std::u16string(kFailure) + u"1-", platform::lastErrorCode());
  }
  platform::ServiceManagerHandle service = 0;
  if (!platform::openServiceForDelete(manager, kServiceName, service)) {
    reportFailure(std::u16string(kFailure) + u"2-", platform::lastErrorCode());
    platform::closeServiceHandle(manager);
    return false;
  }
  const bool deleted = platform::deleteService(service);
  if (deleted) {
    platform::writeConsoleLine(u"Servico desinstalado com sucesso.");
    if (!platform::unregisterEventSource()) {
      platform::writeConsoleLine(
          u"Atencao: nao foi possivel remover a origem de eventos kelvasync do log de Aplicativo. Codigo " +
          decimal(platform::lastErrorCode()) + u".");
    }
  } else {
    reportFailure(std::u16string(kFailure) + u"3-", platform::lastErrorCode());
  }
  platform::closeServiceHandle(service);
  platform::closeServiceHandle(manager);
  return deleted;
}
