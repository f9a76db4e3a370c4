#include "check.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>

#include "runtime/process_state.h"
#include "common/host_port.h"
#include "common/text.h"
#include "config/config.h"
#include "directory/directory_trust.h"
#include "directory/group_search.h"
#include "hsm/addb.h"
#include "hsm/hsm_client.h"
#include "hsm/hsm_reachability.h"
#include "hsm/hsm_settings.h"
#include "logging/log.h"
#include "platform/directory.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/sealed_secret.h"
#include "platform/settings.h"
#include "platform/system.h"
#include "service/systemd_unit.h"
#include "sync/update_cycle.h"
#include "unit_credentials.h"

namespace {

// Where the lines the service's code logs go while one step runs: the
// Warning and Error lines explain a failure; the others are not needed.
void captureLine(uint32_t level, const std::u16string& message, void* context) {
  if (level != Error && level != Warning) return;
  static_cast<std::vector<std::string>*>(context)->push_back(narrowText(message));
}

void ignoreLine(uint32_t, const std::u16string&, void*) {}

// Captures the lines logged during one step; between steps they are dropped.
class CapturedLines {
 public:
  explicit CapturedLines(std::vector<std::string>& into) { setLogCapture(captureLine, &into); }
  ~CapturedLines() { setLogCapture(ignoreLine, nullptr); }
  CapturedLines(const CapturedLines&) = delete;
  CapturedLines& operator=(const CapturedLines&) = delete;
};

bool isDecimal(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool isHexadecimal(const std::string& text) {
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

// Saved as UTF-8: some byte beyond ASCII, and every such byte part of a
// well-formed sequence (Windows-1252 text beyond ASCII almost never is). The
// service reads the file byte by byte as Windows-1252, so a "ç" saved this
// way reaches the directory as two other letters.
bool looksLikeUtf8(const std::string& bytes) {
  // With its byte-order mark the file is read as UTF-8, as Windows reads it.
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) return false;
  const bool beyondAscii =
      std::any_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  return beyondAscii && utf8ToUtf16(bytes).find(u'\xFFFD') == std::u16string::npos;
}

// The step under way, for the watchdog of --timeout.
std::atomic<const char*> stepInProgress{"configuracao"};

// Bound of the probe that names an HSM failure's cause, and the duration
// past which a failed opening met an HSM that does not answer
// (tuneCheckTimeouts).
uint32_t hsmProbeTimeoutMs = kHsmProbeTimeoutMs;
uint32_t hsmSilentAfterMs = kHsmSilentAfterMs;

// `fieldSize`: the HSM login block's field that carries the value, with its
// terminator (0 when the value goes elsewhere); a longer value is refused
// before the HSM is asked.
void requireText(CheckReport& report, const std::string& path, const char* section, const char* key,
                 size_t fieldSize = 0) {
  const std::string value = readConfigString(path, section, key);
  if (value.empty()) {
    report.keys.push_back({section, key, KeyFinding::Missing, "ausente ou vazia"});
  } else if (fieldSize != 0 && value.size() >= fieldSize) {
    report.keys.push_back({section, key, KeyFinding::Bad,
                           "'" + value + "' tem " + std::to_string(value.size()) + " caracteres; o HSM aceita no maximo " +
                               std::to_string(fieldSize - 1)});
  } else {
    report.keys.push_back({section, key, KeyFinding::Ok, value});
  }
}

#ifndef _WIN32
// The service's unit as systemd would merge it, read once.
const ServiceUnit& serviceUnit() {
  static const ServiceUnit unit = readServiceUnit();
  return unit;
}
#endif

// A sealed pwd value: opened as the service opens it. A systemd credential
// is handed only to the service that systemd starts; run by hand, the check
// says so and does not try the login that needs it, rather than fail it. A
// credential the unit does not hand over is a fault the service would meet
// at its next start.
void checkSealedPassword(CheckReport& report, const std::string& value, const char* section, size_t fieldSize) {
  const bool credential = platform::startsWithNoCase(value, platform::kCredentialPrefix);
  const std::string name = credential ? value.substr(platform::kCredentialPrefix.size()) : std::string();
  const std::string kind = credential ? "credencial do systemd '" + name + "'" : std::string("selada com DPAPI");
#ifndef _WIN32
  const char* handed = std::getenv("CREDENTIALS_DIRECTORY");
  if (credential && (handed == nullptr || *handed == '\0')) {
    const ServiceUnit& unit = serviceUnit();
    const UnitCredential* line = findUnitCredential(unit, name);
    if (unit.found && line == nullptr && platform::isCredentialName(name)) {
      report.keys.push_back({section, "pwd", KeyFinding::Bad,
                             kind + ": a unidade kelvasync.service nao a entrega (nenhum LoadCredential=, "
                                    "LoadCredentialEncrypted=, SetCredential= ou SetCredentialEncrypted= com esse "
                                    "nome em " +
                                 describeUnitFiles(unit) +
                                 "); o servico nao abriria a senha (confira o nome, ou gere o drop-in com "
                                 "kelvasync-passwd --systemd-creds=" +
                                 name + ")"});
      return;
    }
    const std::string where = line != nullptr ? " (" + line->setting + "= em " + line->file + ")"
                              : unit.found   ? std::string()
                                             : " (nenhuma unidade kelvasync.service encontrada para conferir)";
    KeyFinding finding{section, "pwd", KeyFinding::Note,
                       kind + where + ": so o servico iniciado pelo systemd a recebe; o login que a usa nao eh "
                                      "tentado aqui",
                       true, name};
    report.keys.push_back(std::move(finding));
    return;
  }
#endif
  // Opened by the service's own code; what it finds is shown, not logged.
  std::vector<ConfigFinding> findings;
  std::string password = decodePasswordValue(value, asciiToUtf16(section), findings);
  const size_t length = password.size();
  wipe(password);
  std::string cause;
  for (const ConfigFinding& finding : findings) {
    if (finding.problem == ConfigFinding::Problem::SealedExposed) {
      report.keys.push_back({section, "pwd", KeyFinding::Note,
                             kind + ": o arquivo da credencial pode ser lido por outros usuarios alem de root e do "
                                    "grupo do servico; restrinja-o (chmod 600)"});
    }
    if (finding.problem == ConfigFinding::Problem::SealedClosed) cause = finding.cause;
  }
  if (length == 0) {
    report.keys.push_back({section, "pwd", KeyFinding::Bad, cause.empty() ? std::string("nao abre") : cause});
  } else if (fieldSize != 0 && length >= fieldSize) {
    report.keys.push_back({section, "pwd", KeyFinding::Bad,
                           kind + " abre, mas tem " + std::to_string(length) + " caracteres; o HSM aceita no maximo " +
                               std::to_string(fieldSize - 1)});
  } else {
    report.keys.push_back({section, "pwd", KeyFinding::Ok, kind + ", abre, " + std::to_string(length) + " caracteres"});
  }
}

// A pwd value: present, made of an even number of hexadecimal digits that
// fit the decoding buffer, and decoding (through the service's own code) to
// a password without a zero byte. Only the length is shown.
void checkPassword(CheckReport& report, const std::string& path, const char* section, size_t fieldSize = 0) {
  const std::string value = readPasswordValue(path, section);
  if (value.empty()) {
    report.keys.push_back({section, "pwd", KeyFinding::Missing, "ausente ou vazia"});
    return;
  }
  if (platform::isSealedSecret(value)) {
    checkSealedPassword(report, value, section, fieldSize);
    return;
  }
  if (value.size() >= kPasswordBufferSize || value.size() % 2 != 0 || !isHexadecimal(value)) {
    report.keys.push_back({section, "pwd", KeyFinding::Bad,
                           "nao decifra: o valor deve ter um numero par de digitos hexadecimais, no maximo 62 "
                           "(gere-o com kelvasync-passwd); tem " +
                               std::to_string(value.size()) + " caracteres"});
    return;
  }
  std::vector<ConfigFinding> findings;  // none for a value of this form
  const std::string password = decodePasswordValue(value, asciiToUtf16(section), findings);
  if (password.size() != value.size() / 2) {
    report.keys.push_back({section, "pwd", KeyFinding::Bad,
                           "nao decifra: a senha decifrada contem um byte zero e seria cortada (gere o valor com "
                           "kelvasync-passwd)"});
    return;
  }
  if (fieldSize != 0 && password.size() >= fieldSize) {
    report.keys.push_back({section, "pwd", KeyFinding::Bad,
                           "decifra, mas tem " + std::to_string(password.size()) +
                               " caracteres; o HSM aceita no maximo " + std::to_string(fieldSize - 1)});
    return;
  }
  report.keys.push_back(
      {section, "pwd", KeyFinding::Ok, "decifra, " + std::to_string(password.size()) + " caracteres"});
}

// The account the binds use: usr and pwd as stored, or, with both empty, the
// service's own identity: on Linux the principal of the keytab the service
// will find (INI key or KRB5_CLIENT_KTNAME), whose problem, if any, is Bad;
// on Windows the account the service runs as. A section without host and
// group (not set up) and, on Linux, no keytab anywhere leave usr and pwd
// missing. Hands the keytab key to the backend, as the service does.
void checkDirectoryAccount(CheckReport& report, const std::string& path) {
  const std::string user = readConfigString(path, "activedirectory", "usr");
  const std::string password = readConfigString(path, "activedirectory", "pwd");
  const std::string keytabKey = readConfigString(path, "activedirectory", "keytab");
  const bool keytabTaken = setDirectoryKeytab(keytabKey);
  const bool setUp = !readConfigString(path, "activedirectory", "host").empty() ||
                     !readConfigString(path, "activedirectory", "group").empty();
  const DirectoryKeytab keytab = directoryKeytab();
  if (!bindsAsOwnIdentity(user, password) || !setUp || (keytabTaken && keytab.path.empty())) {
    requireText(report, path, "activedirectory", "usr");
    const size_t usrFinding = report.keys.size() - 1;
    checkPassword(report, path, "activedirectory");
    if (setUp && keytabTaken && bindsAsOwnIdentity(user, password)) {
      report.keys[usrFinding].detail +=
          " (com usr e pwd vazios o bind usaria um keytab: [activedirectory] keytab ou KRB5_CLIENT_KTNAME)";
    }
    if (!keytabKey.empty() && !bindsAsOwnIdentity(user, password)) {
      report.keys.push_back({"activedirectory", "keytab", KeyFinding::Note,
                             "ignorada: com usr e pwd preenchidos o bind usa a conta de usr (deixe ambos vazios "
                             "para usar o keytab)"});
    }
    return;
  }
  if (!keytabTaken) {
    report.keys.push_back(
        {"activedirectory", "usr", KeyFinding::Ok, "vazia com pwd vazia: bind com a conta do proprio servico"});
    if (!keytabKey.empty()) {
      report.keys.push_back({"activedirectory", "keytab", KeyFinding::Note,
                             "ignorada neste sistema (o bind usa a conta do proprio servico)"});
    }
    return;
  }
  report.keys.push_back({"activedirectory", "usr", KeyFinding::Ok,
                         "vazia com pwd vazia: bind Kerberos (GSSAPI) com o keytab " + keytab.path + " (" +
                             keytab.source + ")" +
                             (keytab.principal.empty() ? std::string() : ", principal " + keytab.principal)});
  if (!keytab.problem.empty()) {
    report.keys.push_back({"activedirectory", "keytab", KeyFinding::Bad, keytab.problem});
  } else if (platform::fileReadableByOthers(keytab.path)) {
    report.keys.push_back({"activedirectory", "keytab", KeyFinding::Note,
                           keytab.path + " pode ser lido por outros usuarios alem de root e do grupo do servico; "
                                         "ele vale a senha da conta: restrinja-o (chmod 640, grupo kelvasync)"});
  } else if (!folderTheUnitHides(keytab.path).empty()) {
    report.keys.push_back({"activedirectory", "keytab", KeyFinding::Note,
                           keytab.path + " fica onde a unidade do systemd esconde arquivos do servico; copie-o para "
                                         "/etc/kelvasync"});
  }
}

// The CA the service's binds will trust, as it will find it: from the INI
// key, LDAPTLS_CACERT or ldap.conf. Bad when it cannot be read; a note when
// it lies where the packaged unit hides files from the service.
void checkDirectoryTrust(CheckReport& report, const std::string& path) {
  const std::string configured = readConfigString(path, "activedirectory", "cacert");
  if (!setDirectoryCaFile(configured)) {
    if (!configured.empty()) {
      report.keys.push_back({"activedirectory", "cacert", KeyFinding::Note,
                             "ignorada neste sistema (vale o repositorio de certificados do computador)"});
    }
    return;
  }
  const DirectoryTrust trust = directoryTrust();
  if (trust.caFile.empty()) {
    report.keys.push_back({"activedirectory", "cacert", KeyFinding::Ok,
                           "nenhum arquivo de CA nomeado: vale o repositorio do sistema"});
    return;
  }
  const std::string named = trust.caFile + " (" + trust.source + ")";
  if (!std::ifstream(trust.caFile).is_open()) {
    report.keys.push_back({"activedirectory", "cacert", KeyFinding::Bad,
                           named + " nao pode ser lido: nenhuma conexao ao AD seria aceita"});
    return;
  }
  if (const std::string_view hidden = folderTheUnitHides(trust.caFile); !hidden.empty()) {
    report.keys.push_back({"activedirectory", "cacert", KeyFinding::Note,
                           named + " fica em " + std::string(hidden) +
                               ", que a unidade do systemd esconde do servico; copie-o para /etc/kelvasync"});
    return;
  }
  report.keys.push_back({"activedirectory", "cacert", KeyFinding::Ok, named});
}

void checkConfiguration(CheckReport& report, bool serviceFiles) {
  report.iniPath = utf16ToUtf8(configFileWidePath());
  const std::string path = configFilePath();
  // The file the service's reader opens, by the name it opens it by.
  const std::filesystem::path file = platform::profileFileSystemPath(path);
  std::error_code ignored;
  report.iniExists = std::filesystem::is_regular_file(file, ignored);
  // A file only administrators may read (as it should be) reads as empty to
  // anyone else: say so rather than call every key missing.
  report.iniReadable = report.iniExists && std::ifstream(file).is_open();
  report.iniReadableByOthers = report.iniExists && platform::fileReadableByOthers(file);
  if (report.iniReadable) {
    std::ifstream in(file, std::ios::binary);
    report.iniLooksUtf8 = looksLikeUtf8(std::string(std::istreambuf_iterator<char>(in), {}));
  }

  requireText(report, path, "activedirectory", "host");
  checkDirectoryAccount(report, path);
  requireText(report, path, "activedirectory", "group");
  // The service appends the group to the directory's path: only a DN names it.
  if (report.keys.back().status == KeyFinding::Ok && !isDistinguishedName(report.keys.back().detail)) {
    report.keys.back().status = KeyFinding::Bad;
    report.keys.back().detail = "'" + report.keys.back().detail +
                                "' nao eh um DN (use a forma CN=Grupo,OU=Grupos,DC=empresa,DC=local)";
  }
  // Read by the service's own rule, so that both agree on what a value means.
  const std::string interval = readConfigString(path, "activedirectory", "updatefrequencyinminutes");
  if (interval.empty()) {
    report.keys.push_back({"activedirectory", "updatefrequencyinminutes", KeyFinding::Ok, "3 minutos (padrao)"});
  } else {
    std::optional<ConfigFinding> finding;
    const std::string minutes = std::to_string(parseUpdateInterval(widenText(interval), finding) / 60) + " minutos";
    if (finding && finding->problem == ConfigFinding::Problem::NotMinutes) {
      report.keys.push_back({"activedirectory", "updatefrequencyinminutes", KeyFinding::Bad,
                             "'" + interval + "' nao eh um numero de minutos valido; o servico usaria " + minutes});
    } else {
      report.keys.push_back({"activedirectory", "updatefrequencyinminutes", KeyFinding::Ok,
                             isDecimal(interval) ? minutes : minutes + " ('" + interval + "')"});
    }
  }

  checkDirectoryTrust(report, path);

  requireText(report, path, "hsm", "host", KV_HOST_FIELD_SIZE);
  std::string hsmHost;
  uint16_t hsmPort = 0;
  if (report.keys.back().status == KeyFinding::Ok && !splitHsmHost(report.keys.back().detail, hsmHost, hsmPort)) {
    report.keys.back().status = KeyFinding::Bad;
    report.keys.back().detail =
        "'" + report.keys.back().detail + "' nao eh um endereco valido (use nome ou nome:porta, porta de 1 a 65535)";
  }
  requireText(report, path, "hsm", "usr", KV_LOGIN_USER_FIELD_SIZE);
  checkPassword(report, path, "hsm", KV_LOGIN_PASSWORD_FIELD_SIZE);
  std::string removeUsers = readConfigString(path, "hsm", "removeusers");
  const std::string shown = removeUsers;
  switch (parseRemovalPolicy(removeUsers)) {
    case RemovalPolicy::Remove:
      report.keys.push_back({"hsm", "removeusers", KeyFinding::Ok, shown + " (remover)"});
      break;
    case RemovalPolicy::Block:
      report.keys.push_back({"hsm", "removeusers", KeyFinding::Ok, shown + " (bloquear)"});
      break;
    case RemovalPolicy::Neither:
      report.keys.push_back({"hsm", "removeusers", KeyFinding::Note,
                             "'" + shown + "': nenhum usuario serah removido ou bloqueado (use yes ou block)"});
      break;
  }

  const std::string maxRemovals = readConfigString(path, "hsm", "maxremovals");
  if (!maxRemovals.empty()) {
    std::optional<ConfigFinding> finding;
    const std::optional<uint32_t> limit = parseRemovalLimit(maxRemovals, finding);
    if (finding) {
      report.keys.push_back({"hsm", "maxremovals", KeyFinding::Bad,
                             "'" + maxRemovals + "' nao eh um numero inteiro; o servico nao bloquearia nem "
                                                 "removeria ninguem"});
    } else if (limit) {
      report.keys.push_back({"hsm", "maxremovals", KeyFinding::Ok, std::to_string(*limit)});
    }
  }

  // A name the service does not know is ignored by it: a typo there
  // (maxremoval) silently drops what the administrator meant to set.
  for (const UnknownSetting& unknown : findUnknownSettings(path)) {
    report.keys.push_back({unknown.section, unknown.key, KeyFinding::Bad,
                           std::string(unknown.key.empty() ? "secao desconhecida" : "chave desconhecida") +
                               ", ignorada pelo servico" +
                               (unknown.suggestion.empty() ? "" : " (quis dizer " + unknown.suggestion + "?)")});
  }

  const LogSizeSetting logSize = readLogSizeSetting();
  if (!logSize.valid) {
    report.keys.push_back({"log", "maxsizemb", KeyFinding::Bad,
                           "'" + logSize.value + "' nao eh um numero de megabytes de 1 a " +
                               std::to_string(kMaxLogSizeMegabytes)});
  } else if (logSize.bytes != 0) {
    report.keys.push_back({"log", "maxsizemb", KeyFinding::Ok, logSize.value + " MB"});
  }

  // The service never creates folders: without the log's folder it ends at
  // once after starting. Only the service's own installation has one.
  if (serviceFiles) {
    const std::filesystem::path logFile(logFilePath());
    report.logFolder = utf16ToUtf8(logFile.parent_path().u16string());
    report.logFolderExists = std::filesystem::is_directory(logFile.parent_path(), ignored);
    const std::u16string folder = logFile.parent_path().u16string();
    if (!report.logFolderExists) {
      report.logFolderAdvice = utf16ToUtf8(missingLogFolderAdvice(folder));
    } else {
      // A folder the service cannot write ends its start as surely as a
      // missing one (a read-only file system, a folder or log left to root).
      report.logFolderWritable = platform::folderAcceptsWrites(folder, logFile.u16string());
    }
  }

  for (const KeyFinding& key : report.keys)
    if (key.status == KeyFinding::Missing || key.status == KeyFinding::Bad) report.exitCode = kCheckConfig;
  if (!report.iniExists || !report.iniReadable || !report.logFolderExists || !report.logFolderWritable)
    report.exitCode = kCheckConfig;
}

// Whether the keys a step needs (host, usr, pwd and, for the directory,
// group) are usable; the optional keys never hold a step back.
bool keysFine(const CheckReport& report, const char* section) {
  for (const KeyFinding& key : report.keys) {
    const bool needed = key.key == "host" || key.key == "usr" || key.key == "pwd" || key.key == "group";
    if (needed && key.section == section && (key.status == KeyFinding::Missing || key.status == KeyFinding::Bad))
      return false;
  }
  return true;
}

// The credential of the section's password when only the service receives
// it (so its login cannot be tried here); empty otherwise.
std::string credentialOnlyForTheService(const CheckReport& report, const char* section) {
  for (const KeyFinding& key : report.keys)
    if (key.section == section && key.onlyTheServiceHasIt) return key.credential;
  return {};
}

// Why a step was left out: its section's gaps.
const char* notCheckedBecause(const char* section) {
  return std::string_view(section) == "hsm" ? "a secao hsm estah incompleta" : "a secao activedirectory estah incompleta";
}

// The command that tries the logins the check could not, as the service
// would (Linux: the unit's credentials through systemd-run).
void planTryAsService(CheckReport& report) {
  std::vector<std::string> names;
  for (const char* section : {"activedirectory", "hsm"}) {
    const std::string name = credentialOnlyForTheService(report, section);
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  if (names.empty()) return;
#ifndef _WIN32
  const ServiceUnit& unit = serviceUnit();
  if (!unit.found) {
    report.tryAsServiceWhyNot = "nenhuma unidade kelvasync.service foi encontrada para entregar a credencial";
    return;
  }
  std::string program = utf16ToUtf8(platform::modulePath());
  if (program.empty()) program = "kelvasync-check";
  report.tryAsService = tryAsServiceCommand(unit, names, program);
#endif
}

void checkDirectory(CheckReport& report) {
  if (!keysFine(report, "activedirectory")) return;
  if (!credentialOnlyForTheService(report, "activedirectory").empty()) {
    report.directoryNotTried = true;
    return;
  }
  report.directoryChecked = true;
  CapturedLines capture(report.directoryMessages);
  loadDirectorySettings();
  report.directoryOk = searchGroupMembers(report.members, report.unreadableMembers);
  for (const GroupMember& member : report.members)
    if (member.logon.empty() && member.commonName.empty() && member.hsmUserId.empty()) ++report.notUsers;
  report.domainControllerRead = domainControllerRead();

  // Every domain controller with a result of its own: what the read found
  // where it went, and a bind of its own where it did not (a standby DC
  // with a certificate for another name shows now, not at the failover).
  // After a refusal that every DC would repeat (the password, the group),
  // the others are not tried: a password refused on each may lock the
  // account.
  using State = DomainControllerOutcome::State;
  const std::vector<DomainControllerOutcome> outcomes = lastSearchedControllers();
  const bool ended = std::any_of(outcomes.begin(), outcomes.end(),
                                 [](const DomainControllerOutcome& o) { return o.state == State::Failed; });
  for (const DomainControllerOutcome& outcome : outcomes) {
    std::string result;
    switch (outcome.state) {
      case State::Read: result = "grupo lido"; break;
      case State::Skipped: result = "pulado: " + outcome.detail; break;
      case State::Failed:
        result = "a leitura terminou neste DC" +
                 (report.directoryMessages.empty() ? std::string() : ": " + report.directoryMessages.back());
        break;
      case State::NotTried: {
        if (ended) {
          result = "nao tentado: a falha do DC anterior se repetiria neste";
          break;
        }
        std::u16string why;
        result = probeDomainController(outcome.path, why) ? "conexao, TLS e bind aceitos (grupo nao lido neste DC)"
                                                          : "bind recusado: " + narrowText(why);
        break;
      }
    }
    report.domainControllers.push_back({outcome.name, result});
  }
}

// The HSM with a password only the service receives: its host and port are
// probed as the service probes them after a failed opening, and the login
// is not tried.
void probeHsmWithoutLogin(CheckReport& report) {
  report.hsmNotTried = true;
  const std::string value = readConfigString(configFilePath(), "hsm", "host");
  const HsmReachability reach = probeHsmHost(value, hsmProbeTimeoutMs);
  report.hsmReachable = reach == HsmReachability::Reachable;
  std::string host;
  uint16_t port = 0;
  if (report.hsmReachable && splitHsmHost(value, host, port)) {
    report.hsmConnection = "o HSM/Tessel em " + formatHostPort(host, port) + " aceita conexoes";
  } else {
    report.hsmConnection = describeHsmReachability(reach, value, hsmProbeTimeoutMs);
    report.hsmMessages.push_back("Nao foi possivel conectar ao HSM. Causa: " + report.hsmConnection);
  }
}

void checkHsm(CheckReport& report) {
  if (!keysFine(report, "hsm")) return;
  if (!credentialOnlyForTheService(report, "hsm").empty()) {
    probeHsmWithoutLogin(report);
    return;
  }
  report.hsmChecked = true;
  CapturedLines capture(report.hsmMessages);
  CachedHsmSettings& settings = cachedHsmSettings(HsmOperation::UpdateCycle);
  refreshHsmSettings(settings);
  bool sessionOpened = false;
  const auto listStart = std::chrono::steady_clock::now();
  // In the listing's session, a read of IntegracaoAD's addb tells whether
  // the account reaches that account's objects, without writing anything.
  report.listCode = listHsmUsersThenReadObject(report.hsmUsers, settings.host, settings.user, settings.password,
                                               kAddbQualifiedObject, report.integracaoObjectsCode, &sessionOpened);
  if (report.listCode != KV_OK) {
    // The account is blamed only when the HSM is known to listen and
    // answered: a probe of our own tells a network fault from a refused
    // login, and the opening's duration an HSM that does not answer.
    const bool slow = !sessionOpened && std::chrono::steady_clock::now() - listStart >=
                                            std::chrono::milliseconds(hsmSilentAfterMs);
    const HsmReachability reach =
        sessionOpened ? HsmReachability::Reachable : probeHsmHost(settings.host, hsmProbeTimeoutMs);
    const std::string cause =
        sessionOpened ? "a conta entrou, mas a listagem foi recusada (a conta [hsm] usr pode administrar usuarios?)"
                      : describeHsmReachability(reach, settings.host, hsmProbeTimeoutMs, slow);
    const std::string failed = reach == HsmReachability::Reachable && !slow
                                   ? "Nao foi possivel listar os usuarios do HSM com a conta [hsm] usr"
                                   : "Nao foi possivel conectar ao HSM para listar os usuarios";
    report.hsmMessages.push_back(failed + ". Codigo " + std::to_string(report.listCode) + ". Causa: " + cause);
    return;
  }
  report.addbReadable = readAddb(report.addbMembers);
  report.addbRecords = report.addbMembers.size();
  if (!report.addbReadable) {
    report.hsmMessages.push_back(std::string("A conta ") + kAddbAccount + " nao conseguiu ler '" + kAddbObject +
                                 "' (a conta existe no HSM com a senha esperada?)");
  }
  // The library's rule: an object is open to its owner and to object
  // administrators, for reading and writing alike. So an account that
  // cannot read IntegracaoAD's objects cannot write them either.
  const bool reachesObjects = report.integracaoObjectsCode == KV_OK ||
                              report.integracaoObjectsCode == KV_ERR_OBJECT_NOT_FOUND;
  if (!reachesObjects) {
    report.hsmMessages.push_back("A conta [hsm] usr (" + settings.user + ") nao pode ler os objetos de " +
                                 kAddbAccount + " (Codigo " + std::to_string(report.integracaoObjectsCode) +
                                 "), e quem nao os le tambem nao os grava: cada ciclo criaria e bloquearia os "
                                 "usuarios, mas nao salvaria '" +
                                 kAddbObject + "'. Ela precisa poder gravar os objetos de " + kAddbAccount +
                                 " (seja administradora de objetos do HSM)");
  }
  report.hsmOk = report.addbReadable && reachesObjects;
}

void planNextCycle(CheckReport& report) {
  if (!report.directoryOk || !report.hsmOk) return;
  report.planned = true;
  std::vector<std::string> managed;
  for (const std::string& name : report.hsmUsers) {
    if (isManagedUserName(name)) {
      managed.push_back(name);
    } else {
      report.unmanaged.push_back(name);
    }
  }
  ReconcileOptions options;
  options.unreadableMembers = report.unreadableMembers;
  options.policy = removalPolicy();
  options.maxRemovals = removalLimit();
  // Which of the users without a member the service blocked in an earlier
  // cycle: blocked again, but no departure for the removal limit.
  const BlockedUsers blocked = loadBlockedUsers({report.addbReadable, report.addbMembers}, managed);
  if (blocked.known) options.blockedBefore = &blocked.names;
  const ReconcilePlan plan = planReconciliation(report.members, managed, options);
  for (size_t i = 0; i < report.members.size(); ++i) {
    const GroupMember& member = report.members[i];
    switch (plan.memberSteps[i]) {
      case MemberStep::Unblock: report.unblock.push_back(member.hsmUserId); break;
      case MemberStep::Create: report.create.push_back(member.hsmUserId); break;
      case MemberStep::Skip:
        if (!member.logon.empty()) report.membersWithoutId.push_back(member.logon);
        break;
    }
  }
  report.policy = options.policy == RemovalPolicy::Remove  ? "remover"
                  : options.policy == RemovalPolicy::Block ? "bloquear"
                                                           : "somente relatar";
  for (size_t i = 0; i < managed.size() && i < plan.managedSteps.size(); ++i) {
    switch (plan.managedSteps[i]) {
      case ManagedStep::Keep: break;
      case ManagedStep::Remove: report.remove.push_back(managed[i]); break;
      case ManagedStep::Block:
        (plan.managedBlockedBefore[i] != 0 ? report.keepBlocked : report.block).push_back(managed[i]);
        break;
      case ManagedStep::Report: report.report.push_back(managed[i]); break;
    }
  }
  for (const IdentifierCollision& collision : plan.collisions) {
    std::string line = collision.hsmUserId + ":";
    for (const auto& [logon, commonName] : collision.members) line += " " + logon + " (" + commonName + ")";
    report.collisions.push_back(std::move(line));
  }
  if (plan.emptyRead) {
    report.everyUserAtRisk = "nenhum membro com identificador foi lido no grupo e o HSM tem " +
                             std::to_string(managed.size()) +
                             " usuario(s) gerenciados: confira o grupo e as permissoes de leitura da conta";
  } else if (plan.losesEveryManagedUser()) {
    report.everyUserAtRisk = "o plano bloquearia ou removeria todos os " + std::to_string(managed.size()) +
                             " usuarios gerenciados do HSM: confira o grupo e as permissoes de leitura da conta";
  }
  report.passTwoSkipped = !plan.passTwoRuns();
  if (plan.sparedForUnreadable) {
    report.passTwoReason = std::to_string(plan.sparingMembers()) +
                           " membro(s) nao puderam ser lidos; ninguem seria bloqueado ou removido";
  } else if (plan.emptyRead) {
    report.passTwoReason = "nenhum membro com identificador foi lido; ninguem seria bloqueado ou removido";
  } else if (plan.removalLimitExceeded) {
    report.guardTrips = true;
    report.passTwoReason = std::to_string(plan.departureCount) +
                           " bloqueios ou remocoes de quem saiu do grupo passariam do limite maxremovals = " +
                           std::to_string(options.maxRemovals.value_or(0)) +
                           "; ninguem seria bloqueado ou removido";
  }
}

}  // namespace

const char* checkStepInProgress() { return stepInProgress.load(); }

void tuneCheckTimeouts(uint32_t seconds) {
  // A fifth of the run for each wait that may hang: the directory's
  // connection and each of its answers, the HSM's connection and each of
  // its answers, and the probe that names an HSM failure's cause. A normal
  // failure then ends inside the bound and is reported as itself.
  const uint32_t fifthMs = std::max<uint32_t>(seconds * 200, 200);
  platform::DirectoryTuning tuning;
  tuning.networkTimeoutSeconds = std::max<uint32_t>(fifthMs / 1000, 1);
  tuning.operationTimeoutSeconds = tuning.networkTimeoutSeconds;
  platform::setDirectoryTuning(tuning);
  hsmProbeTimeoutMs = std::min(fifthMs, kHsmProbeTimeoutMs);
  hsmSilentAfterMs = std::min(fifthMs * 3 / 4, kHsmSilentAfterMs);
  setDirectoryProbeTimeout(hsmProbeTimeoutMs);
  // Read by our stand-in client library when it is prepared; a library that
  // does not know them keeps its own bounds, and the watchdog still holds.
  // A value the operator set is kept.
  platform::setEnvironmentVariable("KELVASYNC_HSM_CONNECT_TIMEOUT_MS", std::to_string(fifthMs), false);
  platform::setEnvironmentVariable("KELVASYNC_HSM_IO_TIMEOUT_MS", std::to_string(fifthMs), false);
}

CheckReport runCheck(bool serviceFiles) {
  CheckReport report;
  // Until the end, nothing the service's code logs reaches its log file.
  setLogCapture(ignoreLine, nullptr);
  programFilesDir = platform::programFilesFolder();

  checkConfiguration(report, serviceFiles);
  stepInProgress = "diretorio";
  checkDirectory(report);
  stepInProgress = "HSM";
  const int32_t initialized = initializeHsmLibrary();
  checkHsm(report);
  stepInProgress = "plano";
  if (initialized == KV_OK) finalizeHsmLibrary();
  planNextCycle(report);
  planTryAsService(report);

  if (report.exitCode == kCheckOk) {
    const bool hsmFailed = report.hsmNotTried ? !report.hsmReachable : !report.hsmOk;
    if (!report.directoryNotTried && (!report.directoryOk || report.unreadableMembers > 0)) {
      report.exitCode = kCheckDirectory;
    } else if (hsmFailed) {
      report.exitCode = kCheckHsm;
    } else if (report.guardTrips || !report.everyUserAtRisk.empty()) {
      report.exitCode = kCheckGuard;
    } else if (report.directoryNotTried || report.hsmNotTried) {
      report.exitCode = kCheckNotTried;
    }
  }
  setLogCapture(nullptr, nullptr);
  return report;
}

namespace {

// Member data and messages are 8-bit text in Windows-1252, as the log
// writes them; both renderings print UTF-8.
std::string toUtf8(const std::string& bytes) { return windows1252ToUtf8(bytes); }

// The same for the text output, with control bytes as '?': a member's name
// cannot start a line of its own or send escapes to the terminal.
std::string printable(std::string bytes) {
  replaceControlBytes(bytes);
  return toUtf8(bytes);
}

// `text` is 8-bit data (member fields, values, messages) unless `utf8`
// says it is already UTF-8 (paths). Every control, C1 included, is escaped.
std::string jsonString(const std::string& text, bool utf8 = false) {
  std::u16string out = u"\"";
  for (char16_t c : utf8 ? utf8ToUtf16(text) : windows1252ToUtf16(text)) {
    switch (c) {
      case u'"': out += u"\\\""; break;
      case u'\\': out += u"\\\\"; break;
      case u'\n': out += u"\\n"; break;
      case u'\r': out += u"\\r"; break;
      case u'\t': out += u"\\t"; break;
      default:
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += asciiToUtf16(escaped);
        } else {
          out += c;
        }
    }
  }
  return utf16ToUtf8(out + u"\"");
}

std::string jsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + jsonString(items[i]);
  return out + "]";
}

const char* bool01(bool value) { return value ? "true" : "false"; }

}  // namespace

std::string renderStatusJson(const std::optional<CycleStatus>& status, const ServiceHealth& health) {
  std::string out = "{\"codigoSaida\": " + std::to_string(health.code) + ", \"linha\": " + jsonString(health.line);
  if (status) out += ", " + cycleStatusJsonMembers(*status, [](const std::string& text) { return jsonString(text); });
  return out + "}\n";
}

namespace {

const char* statusName(KeyFinding::Status status) {
  switch (status) {
    case KeyFinding::Ok: return "ok";
    case KeyFinding::Missing: return "ausente";
    case KeyFinding::Bad: return "invalida";
    case KeyFinding::Note: return "atencao";
  }
  return "";
}

bool reachesIntegracaoObjects(const CheckReport& r) {
  return r.integracaoObjectsCode == KV_OK || r.integracaoObjectsCode == KV_ERR_OBJECT_NOT_FOUND;
}

// "nao tentado: ...": whose password only the service receives, and how to
// try the login as the service would.
std::string notTriedLine(const CheckReport& r, const char* section) {
  std::string name;
  for (const KeyFinding& key : r.keys)
    if (key.section == section && key.onlyTheServiceHasIt) name = key.credential;
  std::string line = "nao tentado: a senha eh a credencial do systemd '" + name + "', que so o servico recebe; ";
  line += r.tryAsService.empty() ? "nao ha como tenta-lo daqui (" + r.tryAsServiceWhyNot + ")"
                                 : "para tenta-lo como o servico, como root: " + r.tryAsService;
  return line;
}

std::string exitMeaning(int code) {
  for (const ExitCodeMeaning& entry : kCheckExitCodes)
    if (entry.code == code) return std::string(entry.meaning);
  return {};
}

void appendList(std::string& out, const char* title, const std::vector<std::string>& items) {
  out += "  " + std::string(title) + ": " + std::to_string(items.size()) + "\n";
  for (const std::string& item : items) out += "    " + printable(item) + "\n";
}

}  // namespace

std::string renderText(const CheckReport& r) {
  std::string out = "kelvasync-check: verificacao sem alteracoes (nada eh gravado no HSM nem no log do servico)\n\n";
  out += "[configuracao] " + r.iniPath + "\n";
  if (!r.iniExists) {
    out += "  ERRO: o arquivo nao existe\n";
  } else if (!r.iniReadable) {
    out += "  ERRO: o arquivo existe mas esta conta nao pode le-lo (execute como administrador ou como o usuario do "
           "servico)\n";
  }
  if (!r.logFolder.empty()) {
    out += "  pasta do log: " + r.logFolder +
           (!r.logFolderExists ? " NAO EXISTE: o servico terminaria logo ao iniciar; " + r.logFolderAdvice + "\n"
            : !r.logFolderWritable
                ? " NAO PODE SER GRAVADA por esta conta (somente leitura): o servico terminaria logo ao iniciar; "
                  "libere a escrita para a conta do servico\n"
                : std::string("\n"));
  }
  if (r.iniReadableByOthers)
    out += "  ATENCAO: o arquivo pode ser lido por outros usuarios e guarda as senhas; restrinja o acesso\n";
  if (r.iniLooksUtf8) out += "  ATENCAO: o arquivo parece UTF-8; salve-o em Windows-1252\n";
  for (const KeyFinding& key : r.keys) {
    const char* mark = key.status == KeyFinding::Ok        ? "ok      "
                       : key.status == KeyFinding::Note    ? "ATENCAO "
                       : key.status == KeyFinding::Missing ? "AUSENTE "
                                                           : "INVALIDA";
    const std::string name = key.key.empty() ? "[" + key.section + "]" : key.section + "." + key.key;
    out += "  " + std::string(mark) + " " + printable(name) + ": " + printable(key.detail) + "\n";
  }

  out += "\n[diretorio]\n";
  if (r.directoryNotTried) {
    out += "  bind " + notTriedLine(r, "activedirectory") + "\n";
  } else if (!r.directoryChecked) {
    out += std::string("  nao verificado: ") + notCheckedBecause("activedirectory") + "\n";
  } else {
    out += std::string("  grupo lido: ") + (r.directoryOk ? "sim" : "nao") +
           (r.domainControllerRead.empty() ? std::string() : " (DC " + printable(r.domainControllerRead) + ")") + "\n";
    for (const std::string& line : r.directoryMessages) out += "  mensagem: " + printable(line) + "\n";
    for (const CheckReport::DomainControllerResult& dc : r.domainControllers)
      out += "  DC " + printable(dc.name) + ": " + printable(dc.result) + "\n";
    if (r.directoryOk) {
      out += "  membros: " + std::to_string(r.members.size()) + "\n";
      for (const GroupMember& m : r.members) {
        if (m.logon.empty() && m.commonName.empty() && m.hsmUserId.empty()) continue;
        out += "    " + printable(m.logon) + " [" + printable(m.commonName) + "] " +
               (m.hsmUserId.empty() ? std::string("(sem identificador)") : m.hsmUserId) + "\n";
      }
      out += "  elementos que nao sao usuarios: " + std::to_string(r.notUsers) + "\n";
      out += "  membros que nao puderam ser lidos: " + std::to_string(r.unreadableMembers) + "\n";
    }
  }

  out += "\n[hsm]\n";
  if (r.hsmNotTried) {
    out += "  conexao: " + printable(r.hsmConnection) + "\n";
    out += "  login " + notTriedLine(r, "hsm") + "\n";
  } else if (!r.hsmChecked) {
    out += std::string("  nao verificado: ") + notCheckedBecause("hsm") + "\n";
  } else {
    out += std::string("  usuarios listados: ") + (r.listCode == KV_OK ? "sim" : "nao") + "\n";
    for (const std::string& line : r.hsmMessages) out += "  mensagem: " + printable(line) + "\n";
    if (r.listCode == KV_OK) {
      out += "  usuarios: " + std::to_string(r.hsmUsers.size()) + "\n";
      for (const std::string& user : r.hsmUsers)
        out += "    " + printable(user) + (isManagedUserName(user) ? "" : " (nao gerenciado)") + "\n";
      out += std::string("  ") + kAddbAccount + " le '" + kAddbObject + "': " + (r.addbReadable ? "sim" : "nao");
      if (r.addbReadable) out += ", " + std::to_string(r.addbRecords) + " registros";
      out += "\n";
      out += std::string("  a conta [hsm] usr alcanca os objetos de ") + kAddbAccount + ": " +
             (reachesIntegracaoObjects(r) ? "sim (lidos na sessao da listagem; a gravacao nao eh tentada)"
                                          : "NAO (Codigo " + std::to_string(r.integracaoObjectsCode) + ")") +
             "\n";
    }
  }

  out += "\n[proximo ciclo]\n";
  if (!r.planned) {
    out += r.directoryNotTried || r.hsmNotTried ? "  sem plano: um login nao foi tentado\n"
                                                 : "  sem plano: o diretorio e o HSM precisam ser lidos\n";
  } else {
    appendList(out, "criar", r.create);
    appendList(out, "desbloquear", r.unblock);
    out += "  politica para quem saiu do grupo (removeusers): " + r.policy + "\n";
    if (r.passTwoSkipped)
      out += "  segunda passagem nao rodaria: " + r.passTwoReason + "; as tres listas abaixo nao seriam aplicadas\n";
    appendList(out, "bloquear", r.block);
    appendList(out, "manter bloqueados (bloqueados em ciclos anteriores)", r.keepBlocked);
    appendList(out, "remover", r.remove);
    appendList(out, "somente relatar", r.report);
    appendList(out, "deixados de lado (nao gerenciados)", r.unmanaged);
    appendList(out, "membros sem identificador", r.membersWithoutId);
    appendList(out, "identificadores compartilhados por logons diferentes", r.collisions);
    out += std::string("  trava de remocoes em massa: ") + (r.guardTrips ? "DISPARARIA" : "nao dispararia") + "\n";
  }
  if (!r.everyUserAtRisk.empty()) out += "  PERIGO: " + r.everyUserAtRisk + "\n";
  out += "\nresultado: " + std::to_string(r.exitCode) + " (" + exitMeaning(r.exitCode) + ")\n";
  return out;
}

std::string renderJson(const CheckReport& r) {
  std::string out = "{\n  \"configuracao\": {\"arquivo\": " + jsonString(r.iniPath, true) +
                    ", \"existe\": " + bool01(r.iniExists) + ", \"legivel\": " + bool01(r.iniReadable) + ", \"pastaDoLog\": " + jsonString(r.logFolder, true) +
                    ", \"pastaDoLogExiste\": " + bool01(r.logFolderExists) +
                    ", \"pastaDoLogGravavel\": " + bool01(r.logFolderWritable) + ", \"legivelPorOutros\": " +
                    bool01(r.iniReadableByOthers) + ", \"pareceUtf8\": " + bool01(r.iniLooksUtf8) + ", \"chaves\": [";
  for (size_t i = 0; i < r.keys.size(); ++i) {
    const KeyFinding& key = r.keys[i];
    out += std::string(i ? ", " : "") + "{\"secao\": " + jsonString(key.section) +
           ", \"chave\": " + jsonString(key.key) + ", \"estado\": \"" + statusName(key.status) +
           "\", \"detalhe\": " + jsonString(key.detail) + "}";
  }
  out += "]},\n  \"diretorio\": {\"verificado\": " + std::string(bool01(r.directoryChecked)) +
         ", \"ok\": " + bool01(r.directoryOk) + ", \"tentado\": " + bool01(!r.directoryNotTried) +
         ", \"mensagens\": " + jsonList(r.directoryMessages) + ", \"dcLido\": " + jsonString(r.domainControllerRead) +
         ", \"controladores\": [";
  for (size_t i = 0; i < r.domainControllers.size(); ++i) {
    out += std::string(i ? ", " : "") + "{\"nome\": " + jsonString(r.domainControllers[i].name) +
           ", \"resultado\": " + jsonString(r.domainControllers[i].result) + "}";
  }
  out += "], \"membros\": [";
  bool first = true;
  for (const GroupMember& m : r.members) {
    if (m.logon.empty() && m.commonName.empty() && m.hsmUserId.empty()) continue;
    out += std::string(first ? "" : ", ") + "{\"logon\": " + jsonString(m.logon) +
           ", \"nome\": " + jsonString(m.commonName) + ", \"identificador\": " + jsonString(m.hsmUserId) + "}";
    first = false;
  }
  out += "], \"naoUsuarios\": " + std::to_string(r.notUsers) +
         ", \"naoLidos\": " + std::to_string(r.unreadableMembers) + "},\n";
  out += "  \"hsm\": {\"verificado\": " + std::string(bool01(r.hsmChecked)) + ", \"ok\": " + bool01(r.hsmOk) +
         ", \"tentado\": " + bool01(!r.hsmNotTried) +
         ", \"conexao\": " + jsonString(r.hsmConnection) + ", \"codigoListagem\": " + std::to_string(r.listCode) +
         ", \"mensagens\": " + jsonList(r.hsmMessages) + ", \"usuarios\": " + jsonList(r.hsmUsers) +
         ", \"addbLegivel\": " + bool01(r.addbReadable) + ", \"addbRegistros\": " + std::to_string(r.addbRecords) +
         ", \"alcancaObjetosIntegracaoAD\": " +
         (r.integracaoObjectsCode == kHsmObjectNotTried ? std::string("null") : bool01(reachesIntegracaoObjects(r))) +
         "},\n";
  out += "  \"plano\": {\"calculado\": " + std::string(bool01(r.planned)) + ", \"politica\": " +
         jsonString(r.policy) + ", \"criar\": " + jsonList(r.create) + ", \"desbloquear\": " + jsonList(r.unblock) +
         ", \"bloquear\": " + jsonList(r.block) + ", \"manterBloqueados\": " + jsonList(r.keepBlocked) +
         ", \"remover\": " + jsonList(r.remove) +
         ", \"somenteRelatar\": " + jsonList(r.report) + ", \"naoGerenciados\": " + jsonList(r.unmanaged) +
         ", \"semIdentificador\": " + jsonList(r.membersWithoutId) +
         ", \"segundaPassagemPulada\": " + bool01(r.passTwoSkipped) + ", \"motivo\": " +
         jsonString(r.passTwoReason) + ", \"travaDispararia\": " + bool01(r.guardTrips) +
         ", \"todosEmRisco\": " + jsonString(r.everyUserAtRisk) + ", \"identificadoresCompartilhados\": " +
         jsonList(r.collisions) + "},\n";
  out += "  \"tentarComoServico\": " + jsonString(r.tryAsService, true) + ",\n";
  out += "  \"codigoSaida\": " + std::to_string(r.exitCode) + ", \"significado\": " +
         jsonString(exitMeaning(r.exitCode)) + "\n}\n";
  return out;
}

PluginState nagiosState(const CheckReport& r) {
  const bool directoryFailed = r.directoryChecked && (!r.directoryOk || r.unreadableMembers > 0);
  const bool hsmFailed = (r.hsmChecked && !r.hsmOk) || (r.hsmNotTried && !r.hsmReachable);
  if (directoryFailed || hsmFailed || r.guardTrips || !r.everyUserAtRisk.empty()) return kPluginCritical;
  if (r.exitCode == kCheckOk) return kPluginOk;
  // A login this account cannot try: the plug-in cannot tell its state.
  return r.exitCode == kCheckNotTried ? kPluginUnknown : kPluginWarning;
}

std::string renderNagios(const CheckReport& r) {
  const PluginState state = nagiosState(r);
  // The findings that decide the state, in the order an operator would
  // mend them; 8-bit text (messages, values) goes through printable(),
  // paths are UTF-8 already.
  std::string what;
  const auto add = [&what](const std::string& finding) {
    if (!finding.empty()) what += (what.empty() ? "" : "; ") + finding;
  };
  if (state == kPluginCritical) {
    if (!r.everyUserAtRisk.empty()) add("PERIGO: " + printable(r.everyUserAtRisk));
    if (r.guardTrips) add("trava de remocoes em massa: " + printable(r.passTwoReason));
    if (r.directoryChecked && !r.directoryOk) {
      add("o grupo do diretorio nao pode ser lido" +
          (r.directoryMessages.empty() ? std::string() : ": " + printable(r.directoryMessages.front())));
    } else if (r.directoryChecked && r.unreadableMembers > 0) {
      add(std::to_string(r.unreadableMembers) + " membro(s) do grupo nao puderam ser lidos");
    }
    if ((r.hsmChecked && !r.hsmOk) || (r.hsmNotTried && !r.hsmReachable)) {
      add("o HSM nao pode ser lido" + (r.hsmMessages.empty() ? std::string() : ": " + printable(r.hsmMessages.back())));
    }
  } else if (state == kPluginWarning) {
    if (!r.iniExists) add("o arquivo " + r.iniPath + " nao existe");
    else if (!r.iniReadable) add("o arquivo " + r.iniPath + " nao pode ser lido por esta conta");
    if (!r.logFolderExists) add("a pasta do log " + r.logFolder + " nao existe");
    else if (!r.logFolderWritable) add("a pasta do log " + r.logFolder + " nao pode ser gravada");
    size_t bad = 0;
    std::string first;
    for (const KeyFinding& key : r.keys) {
      if (key.status != KeyFinding::Missing && key.status != KeyFinding::Bad) continue;
      if (bad++ == 0)
        first = printable((key.key.empty() ? "[" + key.section + "]" : key.section + "." + key.key) + ": " + key.detail);
    }
    if (bad > 0) add(std::to_string(bad) + " chave(s) do INI ausente(s) ou invalida(s), a primeira " + first);
  } else if (state == kPluginUnknown) {
    for (const char* section : {"activedirectory", "hsm"}) {
      for (const KeyFinding& key : r.keys) {
        if (key.section == section && key.onlyTheServiceHasIt)
          add(std::string(section == std::string_view("hsm") ? "login no HSM" : "bind no diretorio") +
              " nao tentado: a senha eh a credencial do systemd '" + printable(key.credential) +
              "', que so o servico recebe");
      }
    }
    if (r.directoryOk) add("grupo lido (" + std::to_string(r.members.size() - r.notUsers) + " membros)");
    if (r.hsmNotTried) add(printable(r.hsmConnection));
  } else {
    add("grupo lido (" + std::to_string(r.members.size() - r.notUsers) + " membros), HSM lido (" +
        std::to_string(r.hsmUsers.size()) + " usuarios); proximo ciclo: criar " + std::to_string(r.create.size()) +
        ", desbloquear " + std::to_string(r.unblock.size()) + ", bloquear " + std::to_string(r.block.size()) +
        ", remover " + std::to_string(r.remove.size()));
  }
  // Never an empty text: a state without a finding above still says why.
  if (what.empty()) what = exitMeaning(r.exitCode);
  // One line: a member's name or a message cannot start another.
  std::string line = "KELVASYNC-CHECK " + std::string(kPluginStates[state].meaning) + " - " + what;
  for (char& c : line)
    if (c == '\n' || c == '\r' || c == '|') c = c == '|' ? '/' : ' ';
  // Figures the run could not measure are "U", never 0: the group was not
  // read, or no plan could be made.
  const auto figure = [](bool measured, size_t value) { return measured ? std::to_string(value) : std::string("U"); };
  // The labels of --status --nagios for the same figures.
  line += " | membros=" + figure(r.directoryOk, r.members.size() - r.notUsers) +
          " nao_lidos=" + figure(r.directoryOk, r.unreadableMembers) + " criar=" + figure(r.planned, r.create.size()) +
          " desbloquear=" + figure(r.planned, r.unblock.size()) + " bloquear=" + figure(r.planned, r.block.size()) +
          " remover=" + figure(r.planned, r.remove.size()) + "\n";
  return line;
}
