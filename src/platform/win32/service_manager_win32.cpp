// Windows implementation of platform/service_manager.h: the Service Control
// Manager.
#include "platform/service_manager.h"

#include <windows.h>

#include "platform/system.h"

namespace platform {

namespace {

ServiceMainProc serviceProcedure = nullptr;
ServiceControlProc controlHandler = nullptr;

void WINAPI serviceMainTrampoline(DWORD, LPWSTR*) { serviceProcedure(); }
void WINAPI controlHandlerTrampoline(DWORD control) { controlHandler(control); }

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
SC_HANDLE sc(ServiceManagerHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }

bool fail() {
  saveLastError(GetLastError());
  return false;
}

}  // namespace

bool runServiceDispatcher(const char16_t* serviceName, ServiceMainProc serviceMain) {
  serviceProcedure = serviceMain;
  SERVICE_TABLE_ENTRYW table[2] = {{const_cast<wchar_t*>(wide(serviceName)), serviceMainTrampoline},
                                   {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) != FALSE || fail();
}

void prepareServiceStopSources() {}

ServiceStatusHandle registerServiceControlHandler(const char16_t* serviceName, ServiceControlProc handler) {
  controlHandler = handler;
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(wide(serviceName), controlHandlerTrampoline);
  if (handle == nullptr) fail();
  return reinterpret_cast<ServiceStatusHandle>(handle);
}

void announceServiceStatus(std::u16string_view) {}

bool reportServiceRefused(ServiceStatusHandle handle, const ServiceStatus& status, std::u16string_view) {
  return setServiceStatus(handle, status);
}

ServiceError classifyServiceError(uint32_t code) {
  switch (code) {
    case ERROR_ACCESS_DENIED: return ServiceError::AccessDenied;
    case ERROR_SERVICE_EXISTS: return ServiceError::AlreadyInstalled;
    case ERROR_SERVICE_DOES_NOT_EXIST: return ServiceError::NotInstalled;
    case ERROR_SERVICE_MARKED_FOR_DELETE: return ServiceError::MarkedForDeletion;
    default: return ServiceError::Other;
  }
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status, std::u16string_view) {
  SERVICE_STATUS record = {};
  record.dwServiceType = status.serviceType;
  record.dwCurrentState = status.currentState;
  record.dwControlsAccepted = status.controlsAccepted;
  record.dwWin32ExitCode = status.win32ExitCode;
  record.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  record.dwCheckPoint = status.checkPoint;
  record.dwWaitHint = status.waitHint;
  return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &record) != FALSE || fail();
}

bool openServiceManager(ServiceManagerHandle& manager) {
  SC_HANDLE handle = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (handle == nullptr) return fail();
  manager = reinterpret_cast<ServiceManagerHandle>(handle);
  return true;
}

bool createService(ServiceManagerHandle manager, const ServiceDefinition& definition,
                   ServiceManagerHandle& service) {
  // The image path in quotes: unquoted, a path with blanks (the
  // program-files folder has them) lets the service manager try to start
  // "C:\Program.exe" and its kin before the service itself.
  const std::u16string imagePath = u"\"" + definition.binaryPath + u"\"";
  SC_HANDLE handle = CreateServiceW(sc(manager), wide(definition.name), wide(definition.displayName),
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                    SERVICE_ERROR_NORMAL, wide(imagePath), nullptr, nullptr, nullptr, nullptr,
                                    nullptr);
  if (handle == nullptr) return fail();
  service = reinterpret_cast<ServiceManagerHandle>(handle);
  return true;
}

bool setServiceDescription(ServiceManagerHandle service, const std::u16string& description) {
  SERVICE_DESCRIPTIONW text = {};
  text.lpDescription = const_cast<wchar_t*>(wide(description));
  return ChangeServiceConfig2W(sc(service), SERVICE_CONFIG_DESCRIPTION, &text) != FALSE || fail();
}

bool setServiceRecovery(ServiceManagerHandle service) {
  SC_ACTION actions[3] = {{SC_ACTION_RESTART, kRecoveryRestartDelayMs},
                          {SC_ACTION_RESTART, kRecoveryRestartDelayMs},
                          {SC_ACTION_NONE, 0}};  // the last action would otherwise repeat for ever
  SERVICE_FAILURE_ACTIONSW recovery = {};
  recovery.dwResetPeriod = 24 * 60 * 60;
  recovery.cActions = 3;
  recovery.lpsaActions = actions;
  return ChangeServiceConfig2W(sc(service), SERVICE_CONFIG_FAILURE_ACTIONS, &recovery) != FALSE || fail();
}

bool setServiceOwnSid(ServiceManagerHandle service) {
  SERVICE_SID_INFO info = {};
  info.dwServiceSidType = SERVICE_SID_TYPE_UNRESTRICTED;
  return ChangeServiceConfig2W(sc(service), SERVICE_CONFIG_SERVICE_SID_INFO, &info) != FALSE || fail();
}

bool openServiceForDelete(ServiceManagerHandle manager, const std::u16string& name, ServiceManagerHandle& service) {
  SC_HANDLE handle = OpenServiceW(sc(manager), wide(name), DELETE);
  if (handle == nullptr) return fail();
  service = reinterpret_cast<ServiceManagerHandle>(handle);
  return true;
}

bool deleteService(ServiceManagerHandle service) { return DeleteService(sc(service)) != FALSE || fail(); }

void closeServiceHandle(ServiceManagerHandle handle) {
  if (handle != 0) CloseServiceHandle(sc(handle));
}

}  // namespace platform
