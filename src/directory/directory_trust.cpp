#include "directory/directory_trust.h"

#include <cstdlib>
#include <fstream>
#include <string_view>

#include "common/text.h"
#include "config/config.h"
#include "directory/directory_errors.h"
#include "logging/log.h"
#include "platform/directory.h"
#include "platform/files.h"

namespace {

std::string configuredCaFile;
std::string configuredKeytab;

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// TLS_CACERT of the system's ldap.conf (libldap is kept from reading the
// file itself); empty when the file or the line is missing. The keyword
// matches without regard to case and the last such line counts, as libldap
// reads it.
std::string systemLdapConfCaFile() {
  std::ifstream file("/etc/ldap/ldap.conf");
  std::string found, line;
  while (std::getline(file, line)) {
    std::string_view text(line);
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    const size_t end = text.find_first_of(" \t");
    if (end == std::string_view::npos) continue;
    std::string keyword(text.substr(0, end));
    lowerCaseAscii(keyword);
    if (keyword != "tls_cacert") continue;
    text.remove_prefix(end);
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    found = std::string(text);
  }
  return found;
}

// A time-out from the environment (whole seconds, 1 to 3600); 0 when unset
// or not such a number.
uint32_t environmentSeconds(const char* name) {
  const std::string text = environmentValue(name);
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  const unsigned long value = std::stoul(text);
  return value >= 1 && value <= 3600 ? static_cast<uint32_t>(value) : 0;
}

}  // namespace

bool setDirectoryCaFile(const std::string& configured) {
  configuredCaFile = configured;
  return handDirectorySetup();
}

DirectoryTrust directoryTrust() {
  if (!platform::directoryTakesSetup()) return {};
  if (!configuredCaFile.empty()) return {configuredCaFile, "[activedirectory] cacert"};
  if (std::string environment = environmentValue("LDAPTLS_CACERT"); !environment.empty()) {
    return {std::move(environment), "LDAPTLS_CACERT"};
  }
  if (std::string system = systemLdapConfCaFile(); !system.empty()) {
    return {std::move(system), "TLS_CACERT de /etc/ldap/ldap.conf"};
  }
  return {};
}

bool setDirectoryKeytab(const std::string& configured) {
  configuredKeytab = configured;
  return handDirectorySetup();
}

DirectoryKeytab namedDirectoryKeytab() {
  DirectoryKeytab keytab;
  if (!platform::directoryTakesSetup()) return keytab;
  if (!configuredKeytab.empty()) {
    keytab.path = configuredKeytab;
    keytab.source = "[activedirectory] keytab";
  } else if (std::string environment = environmentValue("KRB5_CLIENT_KTNAME"); !environment.empty()) {
    keytab.path = std::move(environment);
    keytab.source = "KRB5_CLIENT_KTNAME";
  }
  return keytab;
}

DirectoryKeytab directoryKeytab() {
  DirectoryKeytab keytab = namedDirectoryKeytab();
  platform::KerberosFailure failure;
  if (platform::directoryTakesSetup() && !platform::readKeytabPrincipal(keytab.path, keytab.principal, failure)) {
    keytab.problem = describeKerberosFailure(failure, keytab.source);
  }
  return keytab;
}

bool handDirectorySetup() {
  if (!platform::directoryTakesSetup()) return false;
  static const uint32_t networkSeconds = environmentSeconds("KELVASYNC_LDAP_NETWORK_TIMEOUT");
  static const uint32_t operationSeconds = environmentSeconds("KELVASYNC_LDAP_OPERATION_TIMEOUT");
  platform::DirectorySetup setup;
  setup.caFile = directoryTrust().caFile;
  setup.keytab = namedDirectoryKeytab().path;
  setup.networkTimeoutSeconds = networkSeconds;
  setup.operationTimeoutSeconds = operationSeconds;
  platform::setDirectorySetup(setup);
  return true;
}

bool applyDirectoryTrust() {
  const std::string keytab = readConfigString(configFilePath(), "activedirectory", "keytab");
  if (!setDirectoryKeytab(keytab) && !keytab.empty()) {
    writeLog(Warning,
             u"A chave keytab da secao activedirectory nao eh usada neste sistema: com usr e pwd vazios o servico "
             u"se conecta ao AD com a sua propria conta");
  } else if (directorySettings.adUser.empty() && directorySettings.adPassword.empty()) {
    // The keytab is as good as the account's password.
    const DirectoryKeytab table = namedDirectoryKeytab();
    if (!table.path.empty() && platform::fileReadableByOthers(table.path)) {
      writeLog(Warning,
               u"O keytab '%s' (%s) pode ser lido por outros usuarios alem de root e do grupo do servico; ele vale a "
               u"senha da conta do AD: restrinja-o (chmod 640, grupo kelvasync)",
               widenText(table.path), widenText(table.source));
    }
  }
  const std::string configured = readConfigString(configFilePath(), "activedirectory", "cacert");
  if (!setDirectoryCaFile(configured)) {
    if (configured.empty()) return true;
    writeLog(Warning,
             u"A chave cacert da secao activedirectory nao eh usada neste sistema: o certificado do AD eh "
             u"verificado pelo repositorio de certificados do computador");
    return false;
  }
  const DirectoryTrust trust = directoryTrust();
  if (trust.caFile.empty() || std::ifstream(trust.caFile).is_open()) return true;
  writeLog(Error,
           u"O arquivo da autoridade certificadora (CA) do AD '%s' (%s) nao pode ser lido; nenhuma conexao ao AD "
           u"serah aceita ate que ele exista e seja legivel pela conta do servico",
           widenText(trust.caFile), widenText(trust.source));
  return false;
}
