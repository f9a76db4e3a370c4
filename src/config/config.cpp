#include "config/config.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/text.h"
#include "logging/log.h"
#include "platform/sealed_secret.h"
#include "platform/settings.h"
#include "platform/system.h"
#include "runtime/process_state.h"

DirectorySettings directorySettings;

// Chosen once for this product; changing it makes every stored pwd value
// unreadable.
const unsigned char kConfigPasswordKey[16] = {0x5d, 0x8b, 0x22, 0xfa, 0x5d, 0xc7, 0x90, 0x82,
                                              0xe2, 0xc5, 0xc4, 0x7c, 0xdd, 0x2e, 0x9a, 0xa1};

namespace {

constexpr size_t kPasswordWorkBytes = 32;  // ceil(63 / 2) converted pairs

// RC4: key scheduling over the 256-byte state with the key used cyclically,
// then the keystream from its first byte on, none discarded. Encryption and
// decryption are the same operation.
void rc4Apply(const unsigned char* key, size_t keyLength, unsigned char* data, size_t length) {
  unsigned char state[256];
  for (unsigned i = 0; i < 256; ++i) state[i] = static_cast<unsigned char>(i);
  unsigned j = 0;
  for (unsigned i = 0; i < 256; ++i) {
    j = (j + state[i] + key[i % keyLength]) & 0xFF;
    const unsigned char t = state[i];
    state[i] = state[j];
    state[j] = t;
  }
  unsigned i = 0;
  j = 0;
  for (size_t n = 0; n < length; ++n) {
    i = (i + 1) & 0xFF;
    j = (j + state[i]) & 0xFF;
    const unsigned char t = state[i];
    state[i] = state[j];
    state[j] = t;
    data[n] ^= state[(state[i] + state[j]) & 0xFF];
  }
}

// The leading integer of `text` as atoi reads it (leading white space, an
// optional sign, digits up to the first non-digit, 0 when there are none),
// but computed without overflow: the magnitude saturates instead. `digits`
// tells whether there was any digit at all.
int64_t leadingInteger(std::string_view text, bool& digits) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t magnitude = 0;
  digits = i < text.size() && text[i] >= '0' && text[i] <= '9';
  constexpr int64_t kCeiling = int64_t{1} << 40;  // far beyond any 32-bit count
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude < kCeiling) magnitude = magnitude * 10 + (text[i] - '0');
  }
  return negative ? -magnitude : magnitude;
}


std::string configFilePathOverride;

}  // namespace

void setConfigFilePath(std::string path) { configFilePathOverride = platform::argumentToAnsi(path); }

std::u16string configFileWidePath() {
  if (!configFilePathOverride.empty()) return platform::ansiToUtf16(configFilePathOverride);
  return platform::productPath(platform::programFilesFolder(), std::u16string(kProductFolder) + u"\\kelvasync.ini");
}

std::string configFilePath() {
  if (!configFilePathOverride.empty()) return configFilePathOverride;
  return narrowText(configFileWidePath());
}

std::string readConfigString(const std::string& path, const std::string& section, const std::string& key) {
  return platform::readPrivateProfileString(path, section, key);
}

void decodeConfigPassword(char (&buffer)[kPasswordBufferSize]) {
  // The last byte is the terminator of a 63-character text whatever the
  // caller left there.
  const size_t length = strnlen(buffer, kPasswordBufferSize - 1);
  if (length == 0) return;
  const size_t plainLength = length / 2;
  const size_t pairs = (length + 1) / 2;

  unsigned char work[kPasswordWorkBytes] = {};
  for (size_t p = 0; p < pairs; ++p) {
    // An odd last character pairs with the terminating zero.
    const char pair[3] = {buffer[2 * p], 2 * p + 1 < length ? buffer[2 * p + 1] : '\0', '\0'};
    work[p] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16) & 0xFF);
  }
  rc4Apply(kConfigPasswordKey, sizeof kConfigPasswordKey, work, plainLength);
  std::memcpy(buffer, work, plainLength);
  buffer[plainLength] = '\0';
  wipeBytes(work, sizeof work);
}

// Room for a pwd value far beyond any valid one (a sealed one is a few
// hundred characters), so that an over-long value is reported with its
// real length rather than the reader's cut.
constexpr size_t kPasswordValueReadLength = 32767;

std::string readPasswordValue(const std::string& path, const char* section) {
  return platform::readPrivateProfileString(path, section, "pwd", kPasswordValueReadLength);
}

std::u16string describeSealedSecretFault(const platform::SealedSecretResult& result, std::string_view value) {
  using Fault = platform::SealedSecretFault;
  const bool dpapi = platform::startsWithNoCase(value, platform::kDpapiPrefix);
  const std::string quoted =
      "a credencial '" + std::string(dpapi ? std::string_view() : value.substr(platform::kCredentialPrefix.size())) +
      "' ";
  std::string text;
  switch (result.fault) {
    case Fault::None: break;
    case Fault::OtherSystemsForm:
      text = dpapi ? "o valor dpapi: eh uma senha selada pelo Windows (DPAPI) e nao pode ser aberto neste sistema; "
                     "use credential:NOME (kelvasync-passwd --systemd-creds) ou o valor de kelvasync-passwd"
                   : "o valor credential: eh uma credencial do systemd e nao existe no Windows; use dpapi: "
                     "(kelvasync-passwd --dpapi) ou o valor de kelvasync-passwd";
      break;
    case Fault::BadName: text = quoted + "nao tem um nome valido (letras, digitos, '.', '_' ou '-', ateh 64)"; break;
    case Fault::NoCredentials:
      text = quoted + "nao estah disponivel: nenhuma credencial do systemd foi entregue a este processo "
                      "($CREDENTIALS_DIRECTORY nao definido); so o servico iniciado pelo systemd a recebe";
      break;
    case Fault::NotHandedOver:
      text = quoted + "nao foi entregue ao servico (falta LoadCredentialEncrypted= ou SetCredentialEncrypted= com "
                      "esse nome na unidade; veja kelvasync-passwd --systemd-creds)";
      break;
    case Fault::Unreadable: text = quoted + "nao pode ser lida (" + result.detail + ")"; break;
    case Fault::NotRegularFile: text = quoted + "nao eh um arquivo comum (" + result.detail + ")"; break;
    case Fault::Empty:
    case Fault::TooLong:
    case Fault::ZeroByte:
      if (dpapi) {
        text = "a senha selada (dpapi:) abre, mas estah vazia, eh longa demais ou contem um byte zero";
      } else {
        text = quoted + (result.fault == Fault::Empty     ? std::string("estah vazia")
                         : result.fault == Fault::TooLong ? "tem mais de " + std::to_string(platform::kMaxSealedSecretBytes) +
                                                                " bytes"
                                                          : std::string("contem um byte zero"));
      }
      break;
    case Fault::NotBase64:
      text = "o valor dpapi: nao eh um texto base64 valido; gere-o de novo com kelvasync-passwd --dpapi";
      break;
    case Fault::NotThisMachine:
      text = "a senha selada (dpapi:) nao pode ser aberta nesta maquina por esta conta (" + result.detail +
             "): foi selada em outra maquina ou para outra conta. Sele-a de novo nesta maquina com kelvasync-passwd "
             "--dpapi";
      break;
    case Fault::NotOnThisSystem:
    case Fault::ToolMissing:
    case Fault::ToolFailed:
    case Fault::SealFailed: text = result.detail; break;
  }
  return utf8ToUtf16(text);
}

std::string decodePasswordValue(const std::string& value, std::u16string_view section,
                                std::vector<ConfigFinding>& findings) {
  const std::string sectionName = narrowText(section);
  if (platform::isSealedSecret(value)) {
    std::string secret;
    const platform::SealedSecretResult opened = platform::openSealedSecret(value, secret);
    if (opened.readableByOthers) findings.push_back({ConfigFinding::Problem::SealedExposed, sectionName, "pwd", {}, {}});
    if (opened.ok()) return secret;
    wipe(secret);
    findings.push_back({ConfigFinding::Problem::SealedClosed, sectionName, "pwd", {},
                        utf16ToUtf8(describeSealedSecretFault(opened, value))});
    return {};
  }
  if (value.size() >= kPasswordBufferSize) {
    // Copying it would cut the ciphertext (or, unbounded, overrun the
    // buffer); either way the password could only be wrong.
    findings.push_back(
        {ConfigFinding::Problem::PasswordTooLong, sectionName, "pwd", std::to_string(value.size()), {}});
    return {};
  }
  char buffer[kPasswordBufferSize] = {};
  std::memcpy(buffer, value.data(), value.size());
  decodeConfigPassword(buffer);
  std::string password(buffer, strnlen(buffer, kPasswordBufferSize));
  wipeBytes(buffer, sizeof buffer);
  return password;
}

std::string decodePasswordValue(const std::string& value, std::u16string_view section) {
  std::vector<ConfigFinding> findings;
  std::string password = decodePasswordValue(value, section, findings);
  // A sealed file others may read is said once per section and process:
  // each HSM operation reads its own copy.
  static bool exposureReported[2] = {false, false};
  for (const ConfigFinding& finding : findings) {
    if (finding.problem == ConfigFinding::Problem::SealedExposed) {
      bool& reported = exposureReported[section == u"hsm" ? 1 : 0];
      if (reported) continue;
      reported = true;
    }
    logConfigFinding(finding);
  }
  return password;
}

std::string encodeConfigPassword(std::string_view password) {
  unsigned char cipher[kPasswordWorkBytes] = {};
  const size_t length = password.size() < kPasswordWorkBytes ? password.size() : kPasswordWorkBytes;
  std::memcpy(cipher, password.data(), length);
  rc4Apply(kConfigPasswordKey, sizeof kConfigPasswordKey, cipher, length);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < length; ++i) {
    hex.push_back(kDigits[cipher[i] >> 4]);
    hex.push_back(kDigits[cipher[i] & 0x0F]);
  }
  return hex;
}

bool passwordFitsConfig(std::string_view password) {
  return password.size() <= (kPasswordBufferSize - 1) / 2 && password.find('\0') == std::string_view::npos;
}

bool readHsmSettings(std::string* host, std::string* user, std::string* password) {
  const std::string path = configFilePath();
  bool complete = true;
  if (host) {
    if (host->empty()) *host = readConfigString(path, "hsm", "host");
    complete = complete && !host->empty();
  }
  if (user) {
    if (user->empty()) *user = readConfigString(path, "hsm", "usr");
    complete = complete && !user->empty();
  }
  if (password) {
    if (password->empty()) {
      // Copied into the caller's long-lived string, the one copy kept;
      // the temporary is wiped.
      std::string decoded = decodePasswordValue(readPasswordValue(path, "hsm"), u"hsm");
      password->assign(decoded);
      wipe(decoded);
    }
    complete = complete && !password->empty();
  }
  return complete;
}

void readDirectorySettings(std::u16string* group, std::u16string* interval) {
  const std::string path = configFilePath();
  const std::string host = readConfigString(path, "activedirectory", "host");
  directorySettings.ldapPath = host.empty() ? std::u16string() : u"LDAP://" + widenText(host);
  // The account and its password go to the directory as text: decoded as
  // the ANSI code page the file is written in, so that letters such as "ç"
  // or "Š" reach it as themselves.
  directorySettings.adUser = platform::ansiToUtf16(readConfigString(path, "activedirectory", "usr"));
  // adPassword is the one copy kept; the previous value and the
  // temporaries are wiped.
  std::string decoded = decodePasswordValue(readPasswordValue(path, "activedirectory"), u"activedirectory");
  std::u16string password = platform::ansiToUtf16(decoded);
  wipe(decoded);
  wipe(directorySettings.adPassword);
  directorySettings.adPassword.assign(password);
  wipe(password);
  directorySettings.site = readConfigString(path, "activedirectory", "site");
  if (group) *group = widenText(readConfigString(path, "activedirectory", "group"));
  if (interval) *interval = widenText(readConfigString(path, "activedirectory", "updatefrequencyinminutes"));
}

DirectoryHostValue parseDirectoryHost(std::string_view value) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  DirectoryHostValue parsed;
  constexpr std::string_view kDiscovery = "dns:";
  if (value.size() > kDiscovery.size()) {
    std::string prefix(value.substr(0, kDiscovery.size()));
    lowerCaseAscii(prefix);
    std::string_view domain = value.substr(kDiscovery.size());
    while (!domain.empty() && blank(domain.front())) domain.remove_prefix(1);
    while (!domain.empty() && blank(domain.back())) domain.remove_suffix(1);
    if (prefix == kDiscovery && domain.find_first_not_of("0123456789") != std::string_view::npos) {
      parsed.discoveryDomain = std::string(domain);
      return parsed;
    }
  }
  size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && (blank(value[i]) || value[i] == ',')) ++i;
    const size_t start = i;
    while (i < value.size() && !blank(value[i]) && value[i] != ',') ++i;
    if (i > start) parsed.hosts.emplace_back(value.substr(start, i - start));
  }
  return parsed;
}

bool isDistinguishedName(std::string_view text) {
  const auto blank = [](char c) { return c == ' '; };
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const size_t n = text.size();
  size_t i = 0;
  if (n == 0) return false;
  for (;;) {
    // One attribute=value pair.
    while (i < n && blank(text[i])) ++i;
    const size_t typeStart = i;
    if (i < n && letter(text[i])) {
      while (i < n && (letter(text[i]) || digit(text[i]) || text[i] == '-')) ++i;
    } else if (i < n && digit(text[i])) {
      while (i < n && (digit(text[i]) || text[i] == '.')) ++i;
      if (text[i - 1] == '.') return false;
    }
    if (i == typeStart) return false;
    while (i < n && blank(text[i])) ++i;
    if (i >= n || text[i] != '=') return false;
    ++i;
    while (i < n && blank(text[i])) ++i;
    size_t valueLength = 0;
    while (i < n && text[i] != ',' && text[i] != '+') {
      if (text[i] == '\\' && ++i >= n) return false;  // a trailing backslash escapes nothing
      ++i;
      ++valueLength;
    }
    if (valueLength == 0) return false;
    if (i == n) return true;
    ++i;  // ',' starts the next relative name, '+' the next pair of this one
  }
}

int32_t parseUpdateInterval(const std::u16string& interval, std::optional<ConfigFinding>& finding) {
  finding.reset();
  bool digits = false;
  int64_t minutes = leadingInteger(narrowText(interval), digits);
  if (!digits || minutes < 0) {
    // Not a count of minutes: taken as it stands it would run the cycles
    // back to back, hammering the directory and the HSM.
    minutes = kDefaultUpdateIntervalMinutes;
    finding = ConfigFinding{ConfigFinding::Problem::NotMinutes, "activedirectory", "updatefrequencyinminutes",
                            utf16ToUtf8(interval), std::to_string(minutes)};
  } else if (minutes > kMaxUpdateIntervalMinutes) {
    // Seconds are counted in 32 bits: a larger interval is clamped rather
    // than left to overflow into a nonsense value.
    minutes = kMaxUpdateIntervalMinutes;
    finding = ConfigFinding{ConfigFinding::Problem::IntervalClamped, "activedirectory", "updatefrequencyinminutes",
                            utf16ToUtf8(interval), std::to_string(minutes)};
  }
  return static_cast<int32_t>(minutes * 60);
}

bool loadDirectorySettings() {
  std::u16string group;
  std::u16string interval;
  readDirectorySettings(&group, &interval);
  directorySettings.unconfigured = directorySettings.ldapPath.empty() && directorySettings.adUser.empty() &&
                                   directorySettings.adPassword.empty() && group.empty();
  if (directorySettings.ldapPath.empty() || group.empty()) return false;
  // usr and pwd go together: both set is a bind with that account, both
  // empty a bind as the service's own identity (bindsAsOwnIdentity). One
  // without the other is a gap.
  if (directorySettings.adUser.empty() != directorySettings.adPassword.empty()) return false;
  directorySettings.groupName = narrowText(group);
  if (!interval.empty()) {
    std::optional<ConfigFinding> finding;
    directorySettings.updateIntervalSeconds = parseUpdateInterval(interval, finding);
    if (finding) logConfigFinding(*finding);
  }
  return true;
}

RemovalPolicy parseRemovalPolicy(std::string& value) {
  lowerCaseAscii(value);
  if (value == "yes") return RemovalPolicy::Remove;
  if (value == "block") return RemovalPolicy::Block;
  return RemovalPolicy::Neither;
}

RemovalPolicy removalPolicy() {
  // Read once per process; a later change of the file is not seen.
  static std::string value = readConfigString(configFilePath(), "hsm", "removeusers");
  return parseRemovalPolicy(value);
}

LogSizeSetting readLogSizeSetting() {
  LogSizeSetting setting;
  setting.value = readConfigString(configFilePath(), "log", "maxsizemb");
  if (setting.value.empty()) return setting;
  uint64_t megabytes = 0;
  for (char c : setting.value) {
    if (c < '0' || c > '9' || megabytes > kMaxLogSizeMegabytes) {
      setting.valid = false;
      return setting;
    }
    megabytes = megabytes * 10 + static_cast<uint64_t>(c - '0');
  }
  if (megabytes == 0 || megabytes > kMaxLogSizeMegabytes) {
    setting.valid = false;
    return setting;
  }
  setting.bytes = megabytes * 1024 * 1024;
  return setting;
}

std::optional<uint32_t> parseRemovalLimit(std::string_view value) {
  std::optional<ConfigFinding> ignored;
  return parseRemovalLimit(value, ignored);
}

std::optional<uint32_t> parseRemovalLimit(std::string_view value, std::optional<ConfigFinding>& finding) {
  finding.reset();
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!value.empty() && blank(value.front())) value.remove_prefix(1);
  while (!value.empty() && blank(value.back())) value.remove_suffix(1);
  if (value.empty()) return std::nullopt;
  uint64_t limit = 0;
  for (char c : value) {
    if (c < '0' || c > '9') {
      finding = ConfigFinding{ConfigFinding::Problem::NotANumber, "hsm", "maxremovals", std::string(value), {}};
      return 0;
    }
    limit = std::min<uint64_t>(limit * 10 + static_cast<uint64_t>(c - '0'), UINT32_MAX);
  }
  return static_cast<uint32_t>(limit);
}

std::optional<uint32_t> removalLimit() {
  static const std::optional<uint32_t> limit = [] {
    std::optional<ConfigFinding> finding;
    const std::optional<uint32_t> read = parseRemovalLimit(readConfigString(configFilePath(), "hsm", "maxremovals"), finding);
    if (finding) logConfigFinding(*finding);
    return read;
  }();
  return limit;
}

namespace {

// The sections and keys the service reads.
struct KnownSection {
  const char* name;
  std::vector<const char*> keys;
};
const KnownSection kKnownSettings[] = {
    {"activedirectory", {"host", "usr", "pwd", "group", "updatefrequencyinminutes", "cacert", "keytab", "site"}},
    {"hsm", {"host", "usr", "pwd", "removeusers", "maxremovals"}},
    {"log", {"maxsizemb"}},
};

char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameAsciiName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return foldAscii(x) == foldAscii(y);
         });
}

// Edits (insertion, removal, change, swap of two neighbours) between two
// names, ASCII case ignored; stops counting past `limit`.
size_t editDistance(std::string_view a, std::string_view b, size_t limit) {
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return limit + 1;
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t change = foldAscii(a[i - 1]) == foldAscii(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && foldAscii(a[i - 1]) == foldAscii(b[j - 2]) && foldAscii(a[i - 2]) == foldAscii(b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The closest of `candidates` to `name` within two edits; empty when none.
std::string closestName(std::string_view name, const std::vector<const char*>& candidates) {
  constexpr size_t kMaxEdits = 2;
  std::string best;
  size_t bestDistance = kMaxEdits + 1;
  for (const char* candidate : candidates) {
    const size_t distance = editDistance(name, candidate, kMaxEdits);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = candidate;
    }
  }
  return best;
}

const KnownSection* knownSection(std::string_view name) {
  for (const KnownSection& section : kKnownSettings)
    if (sameAsciiName(name, section.name)) return &section;
  return nullptr;
}

// Where else the key is known: "[log] maxsizemb" for a maxsizemb under [hsm].
std::string knownElsewhere(std::string_view key, const KnownSection* here) {
  for (const KnownSection& section : kKnownSettings) {
    if (&section == here) continue;
    for (const char* known : section.keys)
      if (sameAsciiName(key, known)) return std::string("[") + section.name + "] " + known;
  }
  return {};
}

}  // namespace

std::vector<UnknownSetting> findUnknownSettings(const std::string& path) {
  std::vector<UnknownSetting> unknown;
  std::vector<const char*> sectionNames;
  for (const KnownSection& section : kKnownSettings) sectionNames.push_back(section.name);
  std::vector<std::string> seenSections;  // the reader searches only the first section of a name
  for (const platform::ProfileSection& section : platform::readPrivateProfileNames(path)) {
    if (std::any_of(seenSections.begin(), seenSections.end(),
                    [&](const std::string& seen) { return sameAsciiName(seen, section.name); })) {
      continue;
    }
    seenSections.push_back(section.name);
    const KnownSection* known = knownSection(section.name);
    if (known == nullptr && !section.name.empty()) {
      const std::string near = closestName(section.name, sectionNames);
      unknown.push_back({section.name, {}, near.empty() ? std::string() : "[" + near + "]"});
      continue;
    }
    std::vector<std::string> seenKeys;
    for (const std::string& key : section.keys) {
      if (known != nullptr && std::any_of(known->keys.begin(), known->keys.end(),
                                          [&](const char* k) { return sameAsciiName(key, k); })) {
        continue;
      }
      if (std::any_of(seenKeys.begin(), seenKeys.end(), [&](const std::string& k) { return sameAsciiName(k, key); }))
        continue;
      seenKeys.push_back(key);
      std::string suggestion = known != nullptr ? closestName(key, known->keys) : std::string();
      if (suggestion.empty()) suggestion = knownElsewhere(key, known);
      unknown.push_back({section.name, key, suggestion});
    }
  }
  return unknown;
}

std::string describeUnknownSetting(const UnknownSetting& setting) {
  std::string text = setting.section.empty() ? std::string("(antes de qualquer secao)") : "[" + setting.section + "]";
  if (!setting.key.empty()) text += " " + setting.key;
  if (!setting.suggestion.empty()) text += " (quis dizer " + setting.suggestion + "?)";
  return text;
}

size_t reportUnknownSettings() {
  const std::vector<UnknownSetting> unknown = findUnknownSettings(configFilePath());
  for (const UnknownSetting& setting : unknown)
    logConfigFinding({ConfigFinding::Problem::Unknown, setting.section, setting.key, {}, setting.suggestion});
  return unknown.size();
}

std::vector<ConfigFinding> findConfigurationGaps(const std::string& path) {
  if (!platform::isReadableProfileFile(path)) return {{ConfigFinding::Problem::FileUnreadable, {}, {}, {}, {}}};
  struct RequiredKeys {
    const char* section;
    std::vector<const char*> keys;
  };
  const RequiredKeys required[] = {{"activedirectory", {"host", "usr", "pwd", "group"}},
                                   {"hsm", {"host", "usr", "pwd"}}};
  std::vector<ConfigFinding> gaps;
  for (const RequiredKeys& entry : required) {
    std::vector<const char*> missing;
    for (const char* key : entry.keys)
      if (readConfigString(path, entry.section, key).empty()) missing.push_back(key);
    if (std::string_view(entry.section) == "activedirectory" && missing.size() == 2 &&
        std::string_view(missing[0]) == "usr" && std::string_view(missing[1]) == "pwd") {
      continue;  // no account named: the bind uses the service's own identity (bindsAsOwnIdentity)
    }
    if (missing.empty()) continue;
    if (missing.size() == entry.keys.size()) {
      gaps.push_back({ConfigFinding::Problem::SectionMissing, entry.section, {}, {}, {}});
      continue;
    }
    for (const char* key : missing) gaps.push_back({ConfigFinding::Problem::KeyMissing, entry.section, key, {}, {}});
  }
  return gaps;
}

bool reportConfigurationGaps() {
  const std::vector<ConfigFinding> gaps = findConfigurationGaps(configFilePath());
  for (const ConfigFinding& gap : gaps) logConfigFinding(gap);
  return gaps.empty();
}

std::u16string describeConfigFinding(const ConfigFinding& finding, const std::string& path) {
  const std::u16string file = widenText(path);
  const std::u16string section = widenText(finding.section);
  const std::u16string value = widenText(finding.value);
  using Problem = ConfigFinding::Problem;
  switch (finding.problem) {
    case Problem::FileUnreadable:
      return formatWide(u"O arquivo de configuracao '%s' nao existe ou nao pode ser lido", file);
    case Problem::SectionMissing:
      return formatWide(u"A secao [%s] do arquivo de configuracao '%s' nao existe ou nao tem nenhuma das chaves "
                        u"necessarias",
                        section, file);
    case Problem::KeyMissing:
      return formatWide(u"A chave '%s' da secao [%s] do arquivo de configuracao '%s' estah vazia ou ausente",
                        widenText(finding.key), section, file);
    case Problem::NotMinutes:
      return formatWide(u"O intervalo de atualizacao (updatefrequencyinminutes = %s) nao eh um numero de minutos "
                        u"valido; usado o padrao de %s minutos.",
                        utf8ToUtf16(finding.value), widenText(finding.cause));
    case Problem::IntervalClamped:
      return formatWide(u"O intervalo de atualizacao (updatefrequencyinminutes = %s) excede o limite; usado %s minutos.",
                        utf8ToUtf16(finding.value), widenText(finding.cause));
    case Problem::NotANumber:
      return formatWide(u"Valor invalido para maxremovals (%s); nenhum usuario serah bloqueado ou removido", value);
    case Problem::PasswordTooLong:
      return formatWide(u"A senha criptografada (pwd) da secao %s do arquivo de configuracao tem %s caracteres, mais "
                        u"que o maximo de 63. A senha foi considerada vazia.",
                        section, value);
    case Problem::SealedClosed:
      return formatWide(u"A senha (pwd) da secao %s do arquivo de configuracao nao pode ser obtida: %s", section,
                        utf8ToUtf16(finding.cause));
    case Problem::SealedExposed:
      return formatWide(u"A senha (pwd) da secao %s vem de um arquivo de credencial que outros usuarios alem de root "
                        u"e do grupo do servico podem ler; restrinja-o (chmod 600) ou deixe o systemd entrega-la",
                        section);
    case Problem::Unknown: {
      const UnknownSetting setting{finding.section, finding.key, finding.cause};
      return formatWide(finding.key.empty()
                            ? u"Secao desconhecida no arquivo de configuracao, ignorada com suas chaves: %s"
                            : u"Chave desconhecida no arquivo de configuracao, ignorada: %s",
                        widenText(describeUnknownSetting(setting)));
    }
  }
  return {};
}

void logConfigFinding(const ConfigFinding& finding) {
  const bool passwordLost = finding.problem == ConfigFinding::Problem::PasswordTooLong ||
                            finding.problem == ConfigFinding::Problem::SealedClosed;
  writeLog(passwordLost ? Error : Warning, u"%s", describeConfigFinding(finding, configFilePath()));
}
