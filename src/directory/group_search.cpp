#include "directory/group_search.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>

#include "common/ldap_path.h"
#include "common/text.h"
#include "config/config.h"
#include "directory/directory_errors.h"
#include "directory/directory_trust.h"
#include "directory/domain_controllers.h"
#include "directory/logon_id.h"
#include "logging/log.h"
#include "logging/reachability.h"
#include "logging/stop_request.h"
#include "platform/network.h"
#include "platform/settings.h"
#include "runtime/stop_flag.h"

bool groupPathLogged = false;

namespace {

using platform::DirectoryRef;

const platform::DirectoryApi* testDirectoryApi = nullptr;

const platform::DirectoryApi& directory() {
  return testDirectoryApi != nullptr ? *testDirectoryApi : platform::platformDirectoryApi();
}

// What the directory says of the failure that returned `code`: in the log's
// words where the backend reports what failed and how, else its own text.
std::u16string failureText(int32_t code) {
  const platform::DirectoryApi& api = directory();
  platform::DirectoryFailure failure;
  if (api.lastFailure != nullptr && api.lastFailure(code, &failure)) return describeDirectoryFailure(failure);
  return api.errorText(code);
}

// Logs a step's failure at Warning. When the directory itself refused the
// step, its own description follows the message in parentheses; when the
// step succeeded and only a stop request ended the search, the message
// stands alone. `cause`, when not empty, ends the line.
void logStepFailure(std::u16string_view message, int32_t code, std::u16string_view cause = {}) {
  std::u16string line(message);
  if (!platform::directorySucceeded(code)) {
    const std::u16string detail = failureText(code);
    if (!detail.empty()) line += u" (" + detail + u")";
  }
  line += cause;
  writeLog(Warning, u"%s", line);
}

// ------------------------------------------------------------- failover

// The step a directory call is in, as inDirectoryStep names it.
const char16_t* currentStep = u"";
constexpr std::u16string_view kControllerStep = u"conexao ao Controlador de Dominio (DC)";

// Whether a failure is the domain controller's own, so that another may
// answer: it could not be reached, refused or dropped the connection, did
// not answer in time, failed the TLS handshake or refused StartTLS, or is
// busy or unwilling to serve. A refused account, a group that does not
// exist or any other refusal would be the same on every DC (and a password
// tried on each could lock the account): those are not.
bool controllerAtFault(int32_t code) {
  if (platform::directoryConnectionFailed(code) || code == platform::kDirectoryBusy ||
      code == platform::kDirectoryUnavailable) {
    return true;
  }
  platform::DirectoryFailure failure;
  if (directory().lastFailure == nullptr || !directory().lastFailure(code, &failure)) return false;
  return failure.call == platform::DirectoryCall::Connect || failure.call == platform::DirectoryCall::ConnectLdaps ||
         failure.call == platform::DirectoryCall::StartTls;
}

// One domain controller of several being read. A failure that is its own
// ends the read there and is kept here, to be logged as the reason it was
// skipped, instead of the step's usual line.
struct ControllerAttempt {
  bool failed = false;
  bool atConnection = false;  // the first bind failed: nothing was read
  std::u16string step;        // the step that failed
  std::u16string detail;      // the directory's words, and the cause a probe found
};
ControllerAttempt* attempt = nullptr;

// A failure that ends the read at a step: kept in the attempt when another
// domain controller may answer, else logged as logStepFailure does.
void failStep(std::u16string_view message, int32_t code, std::u16string_view cause = {}) {
  if (attempt != nullptr && !platform::directorySucceeded(code) && !isStopRequested() && controllerAtFault(code)) {
    attempt->failed = true;
    attempt->step = currentStep;
    attempt->atConnection = attempt->step == kControllerStep;
    const std::u16string detail = failureText(code);
    attempt->detail = (detail.empty() ? std::u16string() : u" (" + detail + u")") + std::u16string(cause);
    return;
  }
  logStepFailure(message, code, cause);
}

// A bind as the service's own identity (usr and pwd empty) whose
// credentials could not be had: one Erro line that names the cause (the
// keytab, its keys, the clock, the account, the KDC), since no connection
// was at fault and no cycle can read the group until it is mended.
void logNoCredentials(std::u16string_view message, int32_t code) {
  std::u16string line(message);
  line += u" com a identidade do proprio servico (Kerberos): " + failureText(code);
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
  currentStep = step;
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

// `narrow` widened as widenText does, into `wide`, which keeps its room.
void widenInto(const std::string& narrow, std::u16string& wide) {
  wide.resize(narrow.size());
  for (size_t i = 0; i < narrow.size(); ++i) {
    wide[i] = static_cast<char16_t>(static_cast<int16_t>(static_cast<signed char>(narrow[i])));
  }
}

// The attribute names asked for, made once.
const std::u16string kCommonNameAttribute = u"cn";
const std::u16string kLogonAttribute = u"samAccountName";

// The record of one element that carries an object: all three strings empty
// when it is not a user. False, with a Warning line, when the element could
// not be read: its owner could still be in the group, so it must not count
// as absent. `text` is room for the directory's values, kept from one member
// to the next.
bool readMember(DirectoryRef element, GroupMember& member, std::u16string& text) {
  const platform::DirectoryApi& api = directory();
  HeldRef user;
  const int32_t code = inDirectoryStep(u"leitura de um membro", [&] { return api.queryUser(element, user.out()); });
  if (code == platform::kDirectoryNoInterface) return true;  // not a user
  if (!platform::directorySucceeded(code)) {
    logStepFailure(u"Nao foi possivel obter dados do usuario dentro do Grupo", code);
    return false;
  }
  // A user whose cn cannot be read keeps an empty common name; one whose
  // logon cannot be read has no identity at all.
  if (platform::directorySucceeded(inDirectoryStep(
          u"leitura de um membro", [&] { return api.getAttribute(user.get(), kCommonNameAttribute, &text); }))) {
    member.commonName = narrowText(text);
  }
  const int32_t logonCode = inDirectoryStep(
      u"leitura de um membro", [&] { return api.getAttribute(user.get(), kLogonAttribute, &text); });
  if (!platform::directorySucceeded(logonCode)) {
    std::u16string line = u"Nao foi possivel obter o samAccountName do usuario [" + widenText(member.commonName) +
                          u"] dentro do Grupo";
    logStepFailure(line, logonCode);
    return false;
  }
  member.logon = narrowText(text);
  // A to Z only, never through the process locale: a console run (whose
  // locale is Portuguese) must derive the identifiers the service does.
  lowerCaseAscii(member.logon);
  member.hsmUserId = convertLogonToHsmUserId(member.logon);
  return true;
}

// The key under which the directory compares two DNs.
std::u16string nameKey(std::u16string_view dn) {
  if (directory().dnKey != nullptr) return directory().dnKey(dn);
  std::u16string key(dn);
  for (char16_t& c : key) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return key;
}

// The rule of the cross-check: every entry whose memberOf names the group
// must have been among the values of member walked (`listed`, by name). Those
// of `found` that were not, in the order of their DNs so that the log names
// them the same way each time.
std::vector<std::u16string> unlistedMembers(std::vector<std::u16string> found,
                                            const std::vector<std::u16string>& listed) {
  std::unordered_set<std::u16string> listedKeys;
  for (const std::u16string& name : listed) listedKeys.insert(nameKey(name));
  found.erase(std::remove_if(found.begin(), found.end(),
                             [&](const std::u16string& name) { return listedKeys.count(nameKey(name)) != 0; }),
              found.end());
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

void setDirectoryApiForTesting(const platform::DirectoryApi* api) { testDirectoryApi = api; }

DirectoryThreadScope::DirectoryThreadScope() : held_(platform::directorySucceeded(directory().initialize())) {}

DirectoryThreadScope::~DirectoryThreadScope() {
  if (held_) directory().uninitialize();
}

void setDirectoryProbeTimeout(uint32_t milliseconds) { directoryProbeTimeoutMs = milliseconds; }

bool splitDirectoryHost(const std::u16string& ldapPath, std::string& host, uint16_t& port) {
  LdapPath parts;
  if (!parseLdapPath(narrowText(ldapPath), parts)) return false;
  host = std::move(parts.host);
  port = parts.port;
  return true;
}

bool enumerateGroupMembers(DirectoryRef members, MemberList& memberList, uint32_t& unreadableMembers,
                           platform::MemberCrossCheck* crossCheck) {
  const platform::DirectoryApi& api = directory();
  const bool crossChecking = crossCheck != nullptr && api.memberOfEntries != nullptr;

  HeldRef enumerator;
  int32_t code = inDirectoryStep(u"lista de membros do Grupo", [&] { return api.newEnum(members, enumerator.out()); });
  if (stepFailed(code)) {
    failStep(u"Nao foi possivel iniciar a pesquisa de usuarios dentro do Grupo", code);
    return false;
  }
  HeldRef variantEnumerator;
  code = inDirectoryStep(u"lista de membros do Grupo",
                         [&] { return api.queryEnumVariant(enumerator.get(), variantEnumerator.out()); });
  if (stepFailed(code)) {
    failStep(u"Nao foi possivel obter interface para os usuarios dentro do Grupo", code);
    return false;
  }

  // The first members that could not be read, by name, for one line at
  // the end of the walk: the administrator must know whose read holds the
  // departures back.
  constexpr size_t kNamedUnreadable = 5;
  std::vector<std::u16string> unreadableNames;
  uint32_t unreadableInWalk = 0;
  size_t walked = 0;  // elements fetched
  const auto noteUnreadable = [&](DirectoryRef element) {
    ++unreadableMembers;
    if (unreadableInWalk++ >= kNamedUnreadable) return;
    std::u16string name;
    int32_t nameCode = platform::kDirectoryFail;
    if (api.valueName != nullptr) {
      nameCode = api.valueName(variantEnumerator.get(), walked - 1, &name);
    } else if (api.elementName != nullptr && element != nullptr) {
      nameCode = inDirectoryStep(u"leitura de um membro", [&] { return api.elementName(element, &name); });
    }
    if (platform::directorySucceeded(nameCode) && !name.empty()) unreadableNames.push_back(std::move(name));
  };

  // The names the walk listed, for the cross-check, where elements carry
  // their own; and room for values and member lines, kept between members.
  std::vector<std::u16string> listedNames;
  std::u16string text, commonName, logon;
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
      failStep(u"Nao foi possivel obter todos os usuarios do Grupo", code);
      return false;
    }
    if (isStopRequested()) return true;
    if (fetched == 1) {
      ++walked;
      GroupMember member;
      if (crossChecking && element.get() != nullptr && api.elementName != nullptr) {
        std::u16string name;
        if (platform::directorySucceeded(inDirectoryStep(
                u"leitura de um membro", [&] { return api.elementName(element.get(), &name); }))) {
          listedNames.push_back(std::move(name));
        }
      }
      if (element.get() == nullptr) {
        writeLog(Warning, u"Nao foi possivel obter dados do usuario dentro do Grupo");
        noteUnreadable(nullptr);
      } else if (!readMember(element.get(), member, text)) {
        noteUnreadable(element.get());
      } else {
        widenInto(member.commonName, commonName);
        widenInto(member.logon, logon);
        writeLog(Console, u"membros: [%s] [%s]", commonName, logon);
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
  std::vector<std::u16string> found;
  code = inDirectoryStep(u"conferencia dos membros (memberOf)",
                         [&] { return api.memberOfEntries(*crossCheck, &found); });
  crossCheck->enumeration = nullptr;
  if (!platform::directorySucceeded(code)) {
    failStep(u"Nao foi possivel conferir a lista de membros do Grupo (memberOf)", code);
    return false;
  }
  // Where the backend keeps the values, they are what the walk listed; asked
  // for only when the search found anything to compare them with.
  for (size_t i = 0; !found.empty() && api.valueName != nullptr && i < walked; ++i) {
    std::u16string name;
    if (platform::directorySucceeded(api.valueName(variantEnumerator.get(), i, &name))) {
      listedNames.push_back(std::move(name));
    }
  }
  const std::vector<std::u16string> unlisted = unlistedMembers(std::move(found), listedNames);
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

namespace {

// The domain controller the last read came from (process-wide, worker
// thread): the next search tries it first. The one the last Info line named.
std::string rememberedController, announcedController;
// What the last search did with each domain controller.
std::vector<DomainControllerOutcome> lastOutcomes;
std::string lastRead;

bool sameControllerName(std::string a, std::string b) {
  lowerCaseAscii(a);
  lowerCaseAscii(b);
  return a == b;
}

// Binds to the domain controller `dc` and to the group, and enumerates its
// members into memberList: the steps of one read, each logging its own
// failure (or, while several DCs are tried, keeping in `attempt` one that is
// the DC's own).
bool readFromController(const DomainController& dc, MemberList& memberList, uint32_t& unreadableMembers) {
  const platform::DirectoryApi& api = directory();
  HeldRef domain, groupObject, group, members;
  const DirectorySettings& settings = directorySettings;
  // A failed bind as the service's own identity is a Kerberos matter: no
  // ticket, or a DC that wants a SASL layer inside TLS.
  const bool ownIdentity = bindsAsOwnIdentity(narrowText(settings.adUser), narrowText(settings.adPassword));
  const auto credentialsFailed = [&](int32_t code) {
    return code == platform::kDirectoryNoCredentials || (ownIdentity && code == platform::kDirectoryStrongAuthRequired);
  };
  int32_t code = inDirectoryStep(kControllerStep.data(), [&] {
    return api.openObject(dc.path, settings.adUser, settings.adPassword, domain.out());
  });
  if (credentialsFailed(code)) {
    logNoCredentials(u"Nao foi possivel conectar no Controlador de Dominio (DC)", code);
    return false;
  }
  if (stepFailed(code)) {
    failStep(u"Nao foi possivel conectar no Controlador de Dominio (DC)", code, connectionCause(code, dc.path));
    return false;
  }
  if (stepFailed(code = inDirectoryStep(u"caminho do Dominio", [&] { return api.getPath(domain.get()); }))) {
    failStep(u"Nao foi possivel obter o caminho completo do Dominio", code);
    return false;
  }
  const std::string groupPath = narrowText(dc.path) + "/" + settings.groupName;
  if (!groupPathLogged) {
    groupPathLogged = true;
    writeLog(Info, u"%s", widenText(groupPath));
  }
  domain.reset();

  // The path is 8-bit text from the INI file: decoded as its ANSI code
  // page, so that "ç", "Š" or "–" in a group name reach the directory as
  // themselves.
  code = inDirectoryStep(u"conexao ao Grupo", [&] {
    return api.openObject(platform::ansiToUtf16(groupPath), settings.adUser, settings.adPassword, groupObject.out());
  });
  if (credentialsFailed(code)) {
    logNoCredentials(u"Nao foi possivel conectar com o caminho completo no Controlador de Dominio (DC)", code);
    return false;
  }
  if (stepFailed(code)) {
    // A group that does not exist is named: the DN in the INI is wrong.
    const std::u16string cause = code == platform::kDirectoryNoSuchObject
                                     ? u". Causa: o Grupo [" + widenText(settings.groupName) +
                                           u"] nao existe no diretorio (confira [activedirectory] group)"
                                     : std::u16string();
    failStep(u"Nao foi possivel conectar com o caminho completo no Controlador de Dominio (DC)", code, cause);
    return false;
  }
  if (stepFailed(code = inDirectoryStep(u"conexao ao Grupo",
                                        [&] { return api.queryGroup(groupObject.get(), group.out()); }))) {
    failStep(u"Nao foi possivel obter interface para comunicacao com o Grupo de pesquisa", code);
    return false;
  }
  if (stepFailed(code = inDirectoryStep(u"lista de membros do Grupo",
                                        [&] { return api.members(group.get(), members.out()); }))) {
    failStep(u"Nao foi possivel obter interface para os membros do Grupo pesquisado", code);
    return false;
  }
  // The cross-check searches the same domain controller: one read never
  // takes part of its answer from another.
  platform::MemberCrossCheck crossCheck;
  crossCheck.domainPath = dc.path;
  crossCheck.user = settings.adUser;
  crossCheck.password = settings.adPassword;
  crossCheck.group = group.get();
  return enumerateGroupMembers(members.get(), memberList, unreadableMembers, &crossCheck);
}

// Reads the group from the first domain controller of `controllers` that
// answers. One DC alone, written in the INI, is read exactly as it always
// was. Of several, the one read
// last comes first; one that fails for a reason of its own (see
// controllerAtFault) gets an Atencao line and the whole read starts again
// on the next, its members emptied, so that no read is ever made of two
// DCs' answers; any other failure ends the search as it would with one. A
// stop request is honoured between two DCs.
bool readFromControllers(std::vector<DomainController> controllers, bool discovered, MemberList& memberList,
                         uint32_t& unreadableMembers) {
  // DCs found in DNS are named as a list is, even one: which it is changes.
  const bool several = controllers.size() > 1 || discovered;
  const auto remembered = std::find_if(controllers.begin(), controllers.end(), [](const DomainController& dc) {
    return !rememberedController.empty() && sameControllerName(dc.name, rememberedController);
  });
  std::rotate(controllers.begin(), remembered, remembered == controllers.end() ? remembered : remembered + 1);
  for (const DomainController& dc : controllers) lastOutcomes.push_back({dc.name, dc.path, {}, {}});

  const size_t before = memberList.size();
  std::u16string names;
  for (size_t i = 0; i < controllers.size(); ++i) {
    const DomainController& dc = controllers[i];
    DomainControllerOutcome& outcome = lastOutcomes[lastOutcomes.size() - controllers.size() + i];
    if (i > 0 && isStopRequested()) return false;
    memberList.resize(before);
    unreadableMembers = 0;
    ControllerAttempt state;
    attempt = several ? &state : nullptr;
    const bool read = readFromController(dc, memberList, unreadableMembers);
    attempt = nullptr;
    if (read) {
      outcome.state = DomainControllerOutcome::State::Read;
      lastRead = rememberedController = dc.name;
      if (several && !sameControllerName(dc.name, announcedController)) {
        // Named when it changes: each cycle's DC is in the status file.
        announcedController = dc.name;
        writeLog(Info, u"Controlador de Dominio (DC) lido: %s", widenText(dc.name));
      }
      return true;
    }
    if (!state.failed) {
      outcome.state = DomainControllerOutcome::State::Failed;
      return false;
    }
    outcome.state = DomainControllerOutcome::State::Skipped;
    const std::u16string why = state.atConnection
                                   ? u"nao foi possivel conectar" + state.detail
                                   : u"a leitura do Grupo parou na etapa '" + state.step + u"'" + state.detail;
    outcome.detail = narrowText(why);
    writeLog(Warning, u"Controlador de Dominio (DC) %s pulado: %s", widenText(dc.name), why);
    names += (names.empty() ? u"" : u", ") + widenText(dc.name);
  }
  if (!isStopRequested()) {
    writeLog(Warning, u"Nao foi possivel conectar no Controlador de Dominio (DC): nenhum DC pode ser lido (%s)", names);
  }
  return false;
}

}  // namespace

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

  // The backend's CA, keytab and time-outs as they are found now.
  handDirectorySetup();
  DomainControllerList list;
  const bool result = findDomainControllers(directorySettings.ldapPath, directorySettings.site, list) &&
                      readFromControllers(std::move(list.controllers), list.discovered, memberList, unreadableMembers);

  // Only an initialisation that took effect (S_OK, or S_FALSE when COM was
  // already up on this thread) is undone; undoing a failed one would tear
  // down COM for whoever set it up.
  if (platform::directorySucceeded(initCode)) api.uninitialize();
  return result;
}

const std::vector<DomainControllerOutcome>& lastSearchedControllers() { return lastOutcomes; }

bool probeDomainController(const std::u16string& path, std::u16string& result) {
  const platform::DirectoryApi& api = directory();
  const int32_t initCode = api.initialize();
  handDirectorySetup();
  int32_t code = platform::kDirectoryFail;
  {
    HeldRef bound;
    const DirectorySettings& settings = directorySettings;
    code = api.openObject(path, settings.adUser, settings.adPassword, bound.out());
    if (platform::directorySucceeded(code)) code = api.getPath(bound.get());
    result = platform::directorySucceeded(code) ? std::u16string() : failureText(code) + connectionCause(code, path);
  }
  if (platform::directorySucceeded(initCode)) api.uninitialize();
  return platform::directorySucceeded(code);
}
const std::string& domainControllerRead() { return lastRead; }

void forgetDomainControllerRead() {
  rememberedController.clear();
  announcedController.clear();
}

bool searchGroupMembers(MemberList& memberList) {
  uint32_t unreadableMembers = 0;
  return searchGroupMembers(memberList, unreadableMembers);
}

bool searchGroupMembers(MemberList& memberList, uint32_t& unreadableMembers) {
  unreadableMembers = 0;
  lastOutcomes.clear();
  lastRead.clear();
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
