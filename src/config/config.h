// The configuration file kelvasync.ini: its location, its values, the
// decoding of its two passwords and the settings built from it.
//
// The service never writes the file. It reports here a password value too
// long for its buffer, an update interval that is no count of minutes or too
// large to count in seconds, and, once at start, a missing file or required
// key (see below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sealed_secret.h"

// Full 8-bit path of the INI file: the 32-bit program-files folder (read
// anew on every call) followed by "\Karvell Networks\HSM Karvell\kelvasync.ini",
// narrowed by keeping the low byte of each UTF-16 unit.
std::string configFilePath();

// The same path before narrowing (what the file system is asked for).
std::u16string configFileWidePath();

// While `path` (a command-line argument: UTF-8 on Linux, the ANSI code page
// on Windows) is not empty, configFilePath() returns it instead, as the
// 8-bit path the INI reader takes (platform::argumentToAnsi): for tests (on
// Windows a test cannot choose the program-files folder) and for
// kelvasync-check --ini. Call only while no other thread reads the
// configuration.
void setConfigFilePath(std::string path);
inline void setConfigFilePathForTesting(std::string path) { setConfigFilePath(std::move(path)); }

// One value of the file as 8-bit text of at most 255 bytes; empty when the
// file, section or key is missing.
std::string readConfigString(const std::string& path, const std::string& section, const std::string& key);

// One thing reading the INI file found that the service reports and
// kelvasync-check shows: which key (`key` empty for a whole section, both
// empty for the file), what is the matter, and the value or cause in words
// (never a password). describeConfigFinding gives the service's log line.
struct ConfigFinding {
  enum class Problem : uint8_t {
    FileUnreadable,   // the file does not exist or cannot be read
    SectionMissing,   // a required section has none of its required keys
    KeyMissing,       // a required key is empty or missing
    NotMinutes,       // updatefrequencyinminutes is no count of minutes: the default applies
    IntervalClamped,  // updatefrequencyinminutes exceeds what 32-bit seconds hold: clamped
    NotANumber,       // maxremovals is no whole number: read as 0
    PasswordTooLong,  // a pwd value of 64 characters or more: taken as empty
    SealedClosed,     // a sealed pwd that does not open: `cause` says why
    SealedExposed,    // a sealed pwd whose file others may read
    Unknown,          // a section or key the service does not read: `cause` the name meant, if any
  };
  Problem problem;
  std::string section, key;
  std::string value;  // as written, or the number applied (NotMinutes, IntervalClamped)
  std::string cause;
};
// The line the service logs for `finding` (the file's path for the lines that name it).
std::u16string describeConfigFinding(const ConfigFinding& finding, const std::string& path);
// Logs `finding` at Warning (Error for a password that cannot be had).
void logConfigFinding(const ConfigFinding& finding);

// Whether the directory account binds as the service's own identity: usr
// and pwd both empty (Kerberos from a keytab on Linux, the service's account
// on Windows). One without the other is a gap of the file.
inline bool bindsAsOwnIdentity(std::string_view user, std::string_view password) {
  return user.empty() && password.empty();
}

// Size of the buffer that holds a password value while it is decoded.
constexpr size_t kPasswordBufferSize = 64;

// The 16-byte RC4 key under which both passwords are stored. Whatever writes
// a pwd value (kelvasync-passwd) must encrypt under this key.
extern const unsigned char kConfigPasswordKey[16];

// Decrypts in place a buffer that holds the hexadecimal text of an encrypted
// password (at most 63 characters, zero-terminated), leaving the password as
// zero-terminated 8-bit text. An empty text is left as it is. The text is
// taken two characters at a time (an odd last character pairs with the
// terminator), each pair converted as strtoul in base 16 does and cut to 8
// bits, and the first length/2 bytes are decrypted with RC4. A zero byte
// inside the plaintext ends the password there, and an odd last hexadecimal
// digit is ignored.
void decodeConfigPassword(char (&buffer)[kPasswordBufferSize]);

// The pwd value of section `section` as the file holds it, not cut at 255
// characters as other values are.
std::string readPasswordValue(const std::string& path, const char* section);

// Why a sealed pwd value (credential: or dpapi:) did not open, in the log's
// words.
std::u16string describeSealedSecretFault(const platform::SealedSecretResult& result, std::string_view value);

// The password stored in a pwd value of section `section`: RC4 text, or a
// sealed secret (platform/sealed_secret.h) opened here. A value of 64
// characters or more cannot be held by the decoding buffer: it is treated
// as an empty password. `findings` receives what is wrong (PasswordTooLong,
// SealedClosed, SealedExposed); decodePasswordValue logs them instead (a
// sealed file others may read once per section and process).
std::string decodePasswordValue(const std::string& value, std::u16string_view section,
                                std::vector<ConfigFinding>& findings);
std::string decodePasswordValue(const std::string& value, std::u16string_view section);

// The hexadecimal text (two lower-case digits per byte) that decodes to
// `password`. Only a password of at most 31 bytes without a zero byte comes
// back whole from decodeConfigPassword; see passwordFitsConfig.
std::string encodeConfigPassword(std::string_view password);

// The longest password of the [hsm] account that a login carries: the HSM
// client library's login block holds 15 bytes and a terminator (the HSM
// layer holds the two equal). Longer is refused before any traffic, so
// kelvasync-passwd refuses it where the password is typed.
inline constexpr size_t kHsmPasswordMaxBytes = 15;

// True when `password` survives encoding and decoding unchanged: at most 31
// bytes (62 hexadecimal digits fit the 63-character limit) and no zero byte.
bool passwordFitsConfig(std::string_view password);

// The [hsm] settings. Each argument that is not null and holds an empty
// string is filled from key host, usr or pwd of section hsm (the password
// decoded); a string that already holds a value is left alone and the file
// is not consulted for it. True when every string passed is non-empty
// afterwards. Callers pass their own long-lived strings, so a value once read
// stays in use until the process ends while an empty one is looked up again
// on every call.
bool readHsmSettings(std::string* host, std::string* user, std::string* password);

// The directory settings: one process-wide record, written by
// loadDirectorySettings on the worker thread before its first cycle and read
// afterwards by that thread only.
// Minutes between cycles when updatefrequencyinminutes is missing or is no
// count of minutes.
constexpr int32_t kDefaultUpdateIntervalMinutes = 3;

struct DirectorySettings {
  // "LDAP://" + host, or empty when host is empty. host names one domain
  // controller, several, or a domain whose controllers DNS lists
  // (parseDirectoryHost); the group search takes them from here.
  std::u16string ldapPath;
  std::u16string adUser;      // usr
  std::u16string adPassword;  // pwd, decoded
  std::string groupName;      // group; set only when the settings are complete
  int32_t updateIntervalSeconds = kDefaultUpdateIntervalMinutes * 60;
  // site: the Active Directory site whose domain controllers DNS discovery
  // lists first; empty for none.
  std::string site;
  // host, usr, pwd and group are all empty: the directory side was never
  // set up. The start-up check of the file names that gap once; the cycles
  // then skip the search quietly instead of failing a connection each time.
  bool unconfigured = false;
};
extern DirectorySettings directorySettings;

// Largest interval, in minutes, whose seconds still fit a signed 32-bit value.
constexpr int32_t kMaxUpdateIntervalMinutes = INT32_MAX / 60;

// What [activedirectory] host names: one domain controller or several,
// separated by blanks or commas, each "name", "name:port" or "[IPv6]:port"
// as written (`hosts`, in order, empty entries dropped); or, for a value
// "dns:<domain>" (the prefix in any case, the domain not a bare number, so
// that "dns:389" stays a host named dns), the domain whose controllers DNS
// lists (`discoveryDomain`, blanks around it removed).
struct DirectoryHostValue {
  std::vector<std::string> hosts;
  std::string discoveryDomain;
};
DirectoryHostValue parseDirectoryHost(std::string_view value);

// Always replaces ldapPath, adUser, adPassword and site with the values of
// section activedirectory (the account and the decrypted password decoded
// as the ANSI code page, platform::ansiToUtf16); then, for each argument
// that is not null, reads group or updatefrequencyinminutes into it,
// widened.
void readDirectorySettings(std::u16string* group, std::u16string* interval);

// The interval in seconds that a non-empty updatefrequencyinminutes value
// gives: its leading integer, as atoi reads it ("5min" is 5), times 60;
// clamped (IntervalClamped) when the seconds would not fit 32 bits; a value
// without a leading number, or a negative one, gives the default of 3
// minutes (NotMinutes); 0 means no pause. `finding` is set when one applies.
int32_t parseUpdateInterval(const std::u16string& interval, std::optional<ConfigFinding>& finding);

// True when `text` has the form of an LDAP distinguished name: one or more
// relative names separated by commas, each made of attribute=value pairs
// joined by '+', the attribute a name (letter, then letters, digits or
// hyphens) or a dotted OID, the value not empty; a backslash escapes the
// next character, blanks around the separators are allowed.
// "CN=Tessel,OU=Grupos,DC=empresa,DC=local" is one; "Tessel",
// "EMPRESA\Tessel" and "CN=Tessel,,DC=local" are not.
bool isDistinguishedName(std::string_view text);

// Reads the directory settings. When host and group are non-empty and usr
// and pwd are either both set or both empty (a bind as the service's own
// identity: Kerberos from a keytab on Linux, the service account on
// Windows), takes over the group and, when updatefrequencyinminutes is not
// empty, the interval (parseUpdateInterval), and returns true. Otherwise
// returns false and leaves groupName and updateIntervalSeconds as they were.
// Sets `unconfigured` in every case.
bool loadDirectorySettings();

// What the file lacks: a missing or unreadable file alone; otherwise a
// section whose required keys are all empty, and each empty required key of
// a section that has others (activedirectory: host, usr, pwd, group, where
// usr and pwd both empty is no gap; hsm: host, usr, pwd).
std::vector<ConfigFinding> findConfigurationGaps(const std::string& path);
// Checked once at start: one Warning line per gap. True when nothing is
// missing.
bool reportConfigurationGaps();

// A section or key of the file that the service does not know, and the
// known name it most likely meant.
struct UnknownSetting {
  std::string section;  // as written in the file
  std::string key;      // empty when the whole section is unknown
  std::string suggestion;  // "maxremovals", "[hsm]", "[log] maxsizemb"; empty when nothing is close
};

// The sections and keys of the file at `path` that the service does not
// read (names compared without regard to ASCII case, comments left out). A
// suggestion is a known name of the same place within two edits (letters
// inserted, removed, changed or swapped), or the section of another place
// where the key is known.
std::vector<UnknownSetting> findUnknownSettings(const std::string& path);

// The text that names one unknown setting: "[hsm] maxremoval (quis dizer
// maxremovals?)".
std::string describeUnknownSetting(const UnknownSetting& setting);

// Called once at start: one Warning line per unknown section or key of the
// configuration file. A typo in an optional key (maxremovals) would
// otherwise switch a guard off without a word.
size_t reportUnknownSettings();

// What to do with an HSM user made by the service whose owner left the group.
enum class RemovalPolicy { Remove, Block, Neither };

// Lower-cases the letters A to Z of `value` in place (only those can make it
// match a keyword, so the locale has no say) and names the policy: exactly
// "yes" removes, exactly "block" blocks, anything else (the empty value
// included) does neither.
RemovalPolicy parseRemovalPolicy(std::string& value);

// The policy of the removeusers key of section hsm. The value is read from
// the file on the first call in the process and kept; every call lower-cases
// it and compares. Meant for the worker thread; the first read is guarded by
// a thread-safe one-time initialisation.
RemovalPolicy removalPolicy();

// [log] maxsizemb: how large, in megabytes, the log may grow before it is
// renamed to kelvasync.1.log and a new one started. Absent or empty means no
// limit. A value that is not a whole number from 1 to kMaxLogSizeMegabytes
// is invalid and also means no limit.
inline constexpr uint64_t kMaxLogSizeMegabytes = 1024 * 1024;  // 1 TB
struct LogSizeSetting {
  std::string value;   // as read from the file
  bool valid = true;   // false for a value that is present but unusable
  uint64_t bytes = 0;  // the limit in bytes; 0 for none
};
LogSizeSetting readLogSizeSetting();

// The limit of the maxremovals key of section hsm: the most managed users
// one cycle may block or remove. Empty (or missing) means no limit. A value
// that is not a whole number from 0 up reads as 0 (NotANumber in
// `finding`), so that a mistyped guard protects rather than vanishes.
// Blanks around the number are allowed; a value above 2^32 - 1 reads as
// that number.
std::optional<uint32_t> parseRemovalLimit(std::string_view value, std::optional<ConfigFinding>& finding);
std::optional<uint32_t> parseRemovalLimit(std::string_view value);

// parseRemovalLimit of the file's value, read on the first call in the
// process and kept (like removeusers); a value that is no number is logged
// then. Worker thread.
std::optional<uint32_t> removalLimit();
