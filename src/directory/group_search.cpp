#include "directory/group_search.h"

#include <fstream>
#include <string>
#include <utility>

#include "common/host_port.h"
#include "logging/reachability.h"
#include "runtime/stop_flag.h"
#include "common/text.h"
#include "config/config.h"
#include "directory/logon_id.h"
#include "logging/log.h"
#include "logging/stop_request.h"
#include "platform/files.h"
#include "platform/network.h"
#include "platform/settings.h"

bool groupPathLogged = false;

namespace {

using platform::DirectoryRef;

const platform::DirectoryApi* testDirectoryApi = nullptr;

const platform::DirectoryApi& directory() {
  return testDirectoryApi != nullptr ? *testDirectoryApi : platform::platformDirectoryApi();
}

// Logs a step's failure at Warning. When the directory itself refused the
// step, its own description follows the message in parentheses; when the
// step succeeded and only a stop request ended the search, the message
// stands alone. `cause`, when not empty, ends the line.
void logStepFailure(std::u16string_view message, int32_t code, std::u16string_view cause = {}) {
  std::u16string line(message);
  if (!platform::directorySucceeded(code)) {
    const std::u16string detail = directory().errorText(code);
    if (!detail.empty()) line += u" (" + detail + u")";
  }
  line += cause;
  writeLog(Warning, u"%s", line);
}

// A bind as the service's own identity (usr and pwd empty) whose
// credentials could not be had: one Erro line that names the cause (the
// keytab, its keys, the clock, the account, the KDC), since no connection
// was at fault and no cycle can read the group until it is mended.
void logNoCredentials(std::u16string_view message, int32_t code) {
  std::u16string line(message);
  line += u" com a identidade do proprio servico (Kerberos): " + directory().errorText(code);
  writeLog(Error, u"%s", line);
}

uint32_t directoryProbeTimeoutMs = kDirectoryProbeTimeoutMs;

// ". Causa: ..." for a first connection that failed for a network reason:
// a TCP probe of the host tells a name that does not resolve, a refusal, a
// time-out, no route, or a server that takes connections (then the TLS
// handshake failed or the server did not answer in time: a refused bind
// is no network failure and never gets here, so the account is not
// blamed; ADSI may report a silent server as "server down").
// Empty for other failures, and after a stop request, which must not wait
// for a probe.
std::u16string connectionCause(int32_t code, const std::u16string& ldapPath) {
  if (!platform::directoryConnectionFailed(code) || isStopRequested()) return {};
  std::string host;
  uint16_t port = 0;
  if (!splitDirectoryHost(ldapPath, host, port)) return {};
  static constexpr ProbedServer kDomainController{
      "[activedirectory] host", "o Controlador de Dominio (DC)",
      "a conexao LDAP nao se completou: o TLS falhou (confira o certificado do servidor e a CA confiada) ou o "
      "servidor nao respondeu a tempo"};
  const platform::TcpProbeResult result = platform::probeTcpConnection(host, port, directoryProbeTimeoutMs);
  return u". Causa: " +
         widenText(describeProbeResult(result, kDomainController, host, port, directoryProbeTimeoutMs,
                                       platform::directoryTimedOut(code)));
}

// A directory call counts as failed when it failed, or when it succeeded but
// a stop was requested meanwhile: the search must not go on into the next
// call, which may block.
bool stepFailed(int32_t code) { return !platform::directorySucceeded(code) || isStopRequested(); }

// Runs one directory call marked as the step in hand, so that a stop that
// cannot wait for a call that never returns can name it.
template <typename Call>
int32_t inDirectoryStep(const char16_t* step, Call call) {
  enterDirectoryStep(step);
  const int32_t code = call();
  leaveDirectoryStep();
  return code;
}

// Releases the held reference, if any, when the scope ends.
class HeldRef {
 public:
  HeldRef() = default;
  ~HeldRef() { reset(); }
  HeldRef(const HeldRef&) = delete;
  HeldRef& operator=(const HeldRef&) = delete;
  DirectoryRef* out() {
    reset();
    return &ref_;
  }
  DirectoryRef get() const { return ref_; }
  void reset() {
    if (ref_ != nullptr) directory().release(ref_);
    ref_ = nullptr;
  }

 private:
  DirectoryRef ref_ = nullptr;
};

// The narrowed value of one string attribute; false (and `value` untouched)
// when it cannot be read.
bool readAttribute(DirectoryRef user, const std::u16string& name, std::string& value) {
  std::u16string wide;
  if (!platform::directorySucceeded(directory().getAttribute(user, name, &wide))) return false;
  value = narrowText(wide);
  return true;
}

// The record of one element that carries an object: all three strings empty
// when it is not a user. False, with a Warning line, when the element could
// not be read: its owner could still be in the group, so it must not count
// as absent.
bool readMember(DirectoryRef element, GroupMember& member) {
  HeldRef user;
  const int32_t code =
      inDirectoryStep(u"leitura de um membro", [&] { return directory().queryUser(element, user.out()); });
  if (code == platform::kDirectoryNoInterface) return true;  // not a user
  if (!platform::directorySucceeded(code)) {
    logStepFailure(u"Nao foi possivel obter dados do usuario dentro do Grupo", code);
    return false;
  }
  // A user whose cn cannot be read keeps an empty common name; one whose
  // logon cannot be read has no identity at all.
  inDirectoryStep(u"leitura de um membro", [&] { return readAttribute(user.get(), u"cn", member.commonName) ? 0 : 1; });
  std::u16string logon;
  const int32_t logonCode = inDirectoryStep(
      u"leitura de um membro", [&] { return directory().getAttribute(user.get(), u"samAccountName", &logon); });
  if (!platform::directorySucceeded(logonCode)) {
    std::u16string line = u"Nao foi possivel obter o samAccountName do usuario [" + widenText(member.commonName) +
                          u"] dentro do Grupo";
    logStepFailure(line, logonCode);
    return false;
  }
  member.logon = narrowText(logon);
  // A to Z only, never through the process locale: a console run (whose
  // locale is Portuguese) must derive the identifiers the service does.
  lowerCaseAscii(member.logon);
  member.hsmUserId = convertLogonToHsmUserId(member.logon);
  return true;
}

}  // namespace

void setDirectoryApiForTesting(const platform::DirectoryApi* api) { testDirectoryApi = api; }

DirectoryThreadScope::DirectoryThreadScope() : held_(platform::directorySucceeded(directory().initialize())) {}

DirectoryThreadScope::~DirectoryThreadScope() {
  if (held_) directory().uninitialize();
}

bool applyDirectoryTrust() {
  const std::string keytab = readConfigString(configFilePath(), "activedirectory", "keytab");
  if (!platform::setDirectoryKeytab(keytab) && !keytab.empty()) {
    writeLog(Warning,
             u"A chave keytab da secao activedirectory nao eh usada neste sistema: com usr e pwd vazios o servico "
             u"se conecta ao AD com a sua propria conta");
  } else if (directorySettings.adUser.empty() && directorySettings.adPassword.empty()) {
    // The keytab is as good as the account's password.
    const platform::DirectoryKeytab table = platform::directoryKeytab();
    if (!table.path.empty() && platform::fileReadableByOthers(table.path)) {
      writeLog(Warning,
               u"O keytab '%s' (%s) pode ser lido por outros usuarios alem de root e do grupo do servico; ele vale a "
               u"senha da conta do AD: restrinja-o (chmod 640, grupo kelvasync)",
               widenText(table.path), widenText(table.source));
    }
  }
  const std::string configured = readConfigString(configFilePath(), "activedirectory", "cacert");
  if (!platform::setDirectoryCaFile(configured)) {
    if (configured.empty()) return true;
    writeLog(Warning,
             u"A chave cacert da secao activedirectory nao eh usada neste sistema: o certificado do AD eh "
             u"verificado pelo repositorio de certificados do computador");
    return false;
  }
  const platform::DirectoryTrust trust = platform::directoryTrust();
  if (trust.caFile.empty() || std::ifstream(trust.caFile).is_open()) return true;
  writeLog(Error,
           u"O arquivo da autoridade certificadora (CA) do AD '%s' (%s) nao pode ser lido; nenhuma conexao ao AD "
           u"serah aceita ate que ele exista e seja legivel pela conta do servico",
           widenText(trust.caFile), widenText(trust.source));
  return false;
}

void setDirectoryProbeTimeout(uint32_t milliseconds) { directoryProbeTimeoutMs = milliseconds; }

bool splitDirectoryHost(const std::u16string& ldapPath, std::string& host, uint16_t& port) {
  std::string rest = narrowText(ldapPath);
  if (rest.size() >= 7) {
    std::string scheme = rest.substr(0, 7);
    lowerCaseAscii(scheme);
    if (scheme == "ldap://") rest.erase(0, 7);
  }
  return splitHostPort(rest.substr(0, rest.find('/')), 389, host, port);
}

bool enumerateGroupMembers(DirectoryRef members, MemberList& memberList, uint32_t& unreadableMembers,
                           platform::MemberCrossCheck* crossCheck) {
  const platform::DirectoryApi& api = directory();
  const bool crossChecking = crossCheck != nullptr && api.unlistedMembers != nullptr;

  HeldRef enumerator;
  int32_t code = inDirectoryStep(u"lista de membros do Grupo", [&] { return api.newEnum(members, enumerator.out()); });
  if (stepFailed(code)) {
    logStepFailure(u"Nao foi possivel iniciar a pesquisa de usuarios dentro do Grupo", code);
    return false;
  }
  HeldRef variantEnumerator;
  code = inDirectoryStep(u"lista de membros do Grupo",
                         [&] { return api.queryEnumVariant(enumerator.get(), variantEnumerator.out()); });
  if (stepFailed(code)) {
    logStepFailure(u"Nao foi possivel obter interface para os usuarios dentro do Grupo", code);
    return false;
  }

  // The first members that could not be read, by name, for one line at
  // the end of the walk: the administrator must know whose read holds the
  // departures back.
  constexpr size_t kNamedUnreadable = 5;
  std::vector<std::u16string> unreadableNames;
  uint32_t unreadableInWalk = 0;
  const auto noteUnreadable = [&](DirectoryRef element) {
    ++unreadableMembers;
    if (unreadableInWalk++ >= kNamedUnreadable) return;
    std::u16string name;
    int32_t nameCode = platform::kDirectoryFail;
    if (api.valueName != nullptr) {
      nameCode = api.valueName(variantEnumerator.get(), &name);
    } else if (api.elementName != nullptr && element != nullptr) {
      nameCode = inDirectoryStep(u"leitura de um membro", [&] { return api.elementName(element, &name); });
    }
    if (platform::directorySucceeded(nameCode) && !name.empty()) unreadableNames.push_back(std::move(name));
  };

  for (;;) {
    HeldRef element;  // the variant: cleared on every way out of this pass
    uint32_t fetched = 0;
    code = inDirectoryStep(u"leitura de um membro",
                           [&] { return api.next(variantEnumerator.get(), element.out(), &fetched); });
    if (code == platform::kDirectoryNoMore) break;
    if (code != platform::kDirectoryOk) {
      // The directory failed in the middle of the list. The members read so
      // far are not the group: reporting them as the group would make the
      // reconciliation treat everyone not yet read as gone.
      logStepFailure(u"Nao foi possivel obter todos os usuarios do Grupo", code);
      return false;
    }
    if (isStopRequested()) return true;
    if (fetched == 1) {
      GroupMember member;
      if (crossChecking && element.get() != nullptr && api.elementName != nullptr) {
        std::u16string name;
        if (platform::directorySucceeded(inDirectoryStep(
                u"leitura de um membro", [&] { return api.elementName(element.get(), &name); }))) {
          crossCheck->listedNames.push_back(std::move(name));
        }
      }
      if (element.get() == nullptr) {
        writeLog(Warning, u"Nao foi possivel obter dados do usuario dentro do Grupo");
        noteUnreadable(nullptr);
      } else if (!readMember(element.get(), member)) {
        noteUnreadable(element.get());
      } else {
        writeLog(Console, u"membros: [%s] [%s]", widenText(member.commonName), widenText(member.logon));
        memberList.push_back(std::move(member));
      }
    }
    element.reset();
    if (isStopRequested()) return true;
  }
  if (unreadableInWalk > 0) {
    std::u16string names;
    for (const std::u16string& name : unreadableNames) names += (names.empty() ? u"[" : u", [") + name + u"]";
    if (!names.empty() && unreadableInWalk > unreadableNames.size()) {
      names += u" e " + asciiToUtf16(std::to_string(unreadableInWalk - unreadableNames.size())) + u" outro(s)";
    }
    if (!names.empty()) names.insert(0, u": ");
    writeLog(Warning,
             u"%d membro(s) do Grupo nao puderam ser lidos%s. Enquanto houver membros sem leitura, ninguem que "
             u"saiu do Grupo serah bloqueado ou removido no HSM/Tessel",
             static_cast<long long>(unreadableInWalk), names);
  }
  if (!crossChecking) return true;

  // Every entry that names the group in its memberOf must have been walked.
  // One that was not is a member the list does not show: one whose value
  // the account may not read, or one that moved while the group changed
  // between two range requests. Its HSM user must not look orphaned.
  crossCheck->enumeration = variantEnumerator.get();
  std::vector<std::u16string> unlisted;
  code = inDirectoryStep(u"conferencia dos membros (memberOf)",
                         [&] { return api.unlistedMembers(*crossCheck, &unlisted); });
  crossCheck->enumeration = nullptr;
  if (!platform::directorySucceeded(code)) {
    logStepFailure(u"Nao foi possivel conferir a lista de membros do Grupo (memberOf)", code);
    return false;
  }
  constexpr size_t kNamedUnlisted = 10;
  for (size_t i = 0; i < unlisted.size() && i < kNamedUnlisted; ++i) {
    writeLog(Warning, u"Membro do Grupo (memberOf) ausente da lista de membros lida: [%s]", unlisted[i]);
  }
  if (unlisted.size() > kNamedUnlisted) {
    const std::u16string line = u"Outros " + asciiToUtf16(std::to_string(unlisted.size() - kNamedUnlisted)) +
                                u" membros do Grupo (memberOf) ausentes da lista de membros lida";
    writeLog(Warning, u"%s", line);
  }
  unreadableMembers += static_cast<uint32_t>(unlisted.size());
  return true;
}

bool readGroupMembers(MemberList& memberList, uint32_t& unreadableMembers) {
  const platform::DirectoryApi& api = directory();

  const int32_t initCode = api.initialize();
  if (initCode == platform::kComInvalidArgument || initCode == platform::kComOutOfMemory ||
      initCode == platform::kComUnexpected) {
    writeLog(Error, u"Nao foi possivel inicializar biblioteca OLE");
    writeLog(Warning, u"O servico serah parado automaticamente");
    setStopRequested(true);
    return false;
  }

  bool result = false;
  {
    HeldRef domain, groupObject, group, members;
    const DirectorySettings& settings = directorySettings;
    int32_t code = inDirectoryStep(u"conexao ao Controlador de Dominio (DC)", [&] {
      return api.openObject(settings.ldapPath, settings.adUser, settings.adPassword, domain.out());
    });
    if (code == platform::kDirectoryNoCredentials) {
      logNoCredentials(u"Nao foi possivel conectar no Controlador de Dominio (DC)", code);
    } else if (stepFailed(code)) {
      logStepFailure(u"Nao foi possivel conectar no Controlador de Dominio (DC)", code,
                     connectionCause(code, settings.ldapPath));
    } else if (stepFailed(code = inDirectoryStep(u"caminho do Dominio", [&] { return api.getPath(domain.get()); }))) {
      logStepFailure(u"Nao foi possivel obter o caminho completo do Dominio", code);
    } else {
      const std::string groupPath = narrowText(settings.ldapPath) + "/" + settings.groupName;
      if (!groupPathLogged) {
        groupPathLogged = true;
        writeLog(Info, u"%s", widenText(groupPath));
      }
      domain.reset();

      // The path is 8-bit text from the INI file: decoded as its ANSI code
      // page, so that "ç", "Š" or "–" in a group name reach the directory as
      // themselves.
      code = inDirectoryStep(u"conexao ao Grupo", [&] {
        return api.openObject(platform::ansiToUtf16(groupPath), settings.adUser, settings.adPassword,
                              groupObject.out());
      });
      if (code == platform::kDirectoryNoCredentials) {
        logNoCredentials(u"Nao foi possivel conectar com o caminho completo no Controlador de Dominio (DC)", code);
      } else if (stepFailed(code)) {
        // A group that does not exist is named: the DN in the INI is wrong.
        const std::u16string cause =
            code == platform::kDirectoryNoSuchObject
                ? u". Causa: o Grupo [" + widenText(settings.groupName) +
                      u"] nao existe no diretorio (confira [activedirectory] group)"
                : std::u16string();
        logStepFailure(u"Nao foi possivel conectar com o caminho completo no Controlador de Dominio (DC)", code, cause);
      } else if (stepFailed(code = inDirectoryStep(u"conexao ao Grupo",
                                                   [&] { return api.queryGroup(groupObject.get(), group.out()); }))) {
        logStepFailure(u"Nao foi possivel obter interface para comunicacao com o Grupo de pesquisa", code);
      } else if (stepFailed(code = inDirectoryStep(u"lista de membros do Grupo",
                                                   [&] { return api.members(group.get(), members.out()); }))) {
        logStepFailure(u"Nao foi possivel obter interface para os membros do Grupo pesquisado", code);
      } else {
        platform::MemberCrossCheck crossCheck;
        crossCheck.domainPath = settings.ldapPath;
        crossCheck.user = settings.adUser;
        crossCheck.password = settings.adPassword;
        crossCheck.group = group.get();
        result = enumerateGroupMembers(members.get(), memberList, unreadableMembers, &crossCheck);
      }
    }
  }  // every reference is given back before COM goes

  // Only an initialisation that took effect (S_OK, or S_FALSE when COM was
  // already up on this thread) is undone; undoing a failed one would tear
  // down COM for whoever set it up.
  if (platform::directorySucceeded(initCode)) api.uninitialize();
  return result;
}

bool searchGroupMembers(MemberList& memberList) {
  uint32_t unreadableMembers = 0;
  return searchGroupMembers(memberList, unreadableMembers);
}

bool searchGroupMembers(MemberList& memberList, uint32_t& unreadableMembers) {
  unreadableMembers = 0;
  if (isStopRequested()) return false;
  // A directory section left wholly empty was reported once at start; a
  // connection attempt each cycle would only repeat that as an error.
  if (directorySettings.unconfigured) return false;
  if (!readGroupMembers(memberList, unreadableMembers)) return false;
  const std::u16string line =
      u"Quantidade de usuarios encontrados no Grupo: " + asciiToUtf16(std::to_string(memberList.size()));
  writeLog(Info, u"%s", line);
  return true;
}
