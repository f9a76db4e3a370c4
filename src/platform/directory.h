// Platform seam: the directory (Active Directory) as the group search walks it.
//
// One table of operations, one entry per step of the search, shaped after
// COM and ADSI: on Windows each entry is the ADSI call of the same name
// (win32/directory_adsi.cpp); on Linux each is its LDAP counterpart built on
// OpenLDAP's libldap (posix/directory_ldap.cpp). The group search calls the
// directory only through this table, so that tests can put a table of their
// own in its place and fail any single step.
//
// Results are HRESULT-style codes: 0 (S_OK) is success, 1 (S_FALSE) is the
// "no more elements" of `next`, and any negative value is a failure. Every
// reference handed out must be given back with `release`, on every path.
// The table's operations are called from the worker thread only; a backend
// keeps no state from one search to the next.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// One object obtained from the directory: a bound object, a group, a member
// collection, an enumerator, an element of the enumeration or a user. Each
// backend defines what stands behind it (a COM interface pointer on Windows).
struct DirectoryObject;
using DirectoryRef = DirectoryObject*;

constexpr int32_t kDirectoryOk = 0;        // S_OK
constexpr int32_t kDirectoryNoMore = 1;    // S_FALSE: `next` found no element
constexpr int32_t kDirectoryNoInterface = static_cast<int32_t>(0x80004002);  // E_NOINTERFACE
constexpr int32_t kDirectoryFail = static_cast<int32_t>(0x80004005);         // E_FAIL

// The three results of `initialize` after which the search gives up and
// asks the service to stop (E_INVALIDARG, E_OUTOFMEMORY, E_UNEXPECTED).
constexpr int32_t kComInvalidArgument = static_cast<int32_t>(0x80070057);
constexpr int32_t kComOutOfMemory = static_cast<int32_t>(0x8007000E);
constexpr int32_t kComUnexpected = static_cast<int32_t>(0x8000FFFF);

inline bool directorySucceeded(int32_t code) { return code >= 0; }

// Failures the group search tells apart, with the HRESULTs ADSI gives for
// them; the LDAP backend returns the same codes. The server could not be
// reached, or the connection broke (ERROR_DS_SERVER_DOWN); no answer came
// in time (ERROR_TIMEOUT); the entry of the path does not exist
// (ERROR_DS_NO_SUCH_OBJECT).
constexpr int32_t kDirectoryServerDown = static_cast<int32_t>(0x8007203A);
constexpr int32_t kDirectoryTimedOut = static_cast<int32_t>(0x800705B4);
constexpr int32_t kDirectoryNoSuchObject = static_cast<int32_t>(0x80072030);
// The service's own credentials could not be had for a bind without a
// stored account (SEC_E_NO_CREDENTIALS): on Linux, no Kerberos ticket from
// the keytab, or no SASL GSSAPI mechanism. DirectoryFailure says why.
constexpr int32_t kDirectoryNoCredentials = static_cast<int32_t>(0x8009030E);
// The server is too busy, or unwilling to serve for now (ERROR_DS_BUSY,
// ERROR_DS_UNAVAILABLE: LDAP 51 and 52): a domain controller shutting down
// or not yet up.
constexpr int32_t kDirectoryBusy = static_cast<int32_t>(0x8007200E);
constexpr int32_t kDirectoryUnavailable = static_cast<int32_t>(0x8007200F);
// The server demands a stronger authentication than the bind offered
// (ERROR_DS_STRONG_AUTH_REQUIRED: LDAP 8).
constexpr int32_t kDirectoryStrongAuthRequired = static_cast<int32_t>(0x80072028);

// Whether `code` ended a connection for a network reason (the server down,
// refused, unreachable or silent), whose cause a TCP probe of the host can
// name. Besides the codes above, the Winsock errors ADSI may pass on.
inline bool directoryConnectionFailed(int32_t code) {
  switch (static_cast<uint32_t>(code)) {
    case 0x8007203A:  // ERROR_DS_SERVER_DOWN
    case 0x800705B4:  // ERROR_TIMEOUT
    case 0x8007274C:  // WSAETIMEDOUT
    case 0x8007274D:  // WSAECONNREFUSED
    case 0x80072751:  // WSAEHOSTUNREACH
    case 0x80072AF9:  // WSAHOST_NOT_FOUND
      return true;
    default:
      return false;
  }
}
// Whether `code` says that the server did not answer in time.
inline bool directoryTimedOut(int32_t code) {
  return static_cast<uint32_t>(code) == 0x800705B4 || static_cast<uint32_t>(code) == 0x8007274C;
}

// What the memberOf search of the cross-check is given (see
// DirectoryApi::memberOfEntries).
struct MemberCrossCheck {
  // The domain controller ("LDAP://host[:port]") and the account, for a
  // backend that must bind anew to search the domain. They view the
  // caller's strings, which outlive the check (no copy of the password).
  std::u16string_view domainPath, user, password;
  DirectoryRef group = nullptr;        // queryGroup's result
  DirectoryRef enumeration = nullptr;  // queryEnumVariant's result, walked to its end
};

// Which call of the LDAP backend failed. Most name a step of the connection
// or of the read; Initialize is libldap's own set-up of the URI (the URI is
// DirectoryFailure::names[0]).
enum class DirectoryCall : uint8_t {
  None,
  Path,          // the path given to openObject
  TlsContext,    // the process's TLS settings (the CA to trust)
  Initialize,    // ldap_initialize
  Options,       // the connection's LDAP options
  SaslOptions,   // the connection's SASL options
  Connect,       // TCP connection (LDAP)
  ConnectLdaps,  // TCP connection and TLS handshake (LDAPS)
  StartTls,      // StartTLS and its TLS handshake
  Bind,          // simple bind
  BindGssapi,    // SASL GSSAPI bind
  RootDse,       // the rootDSE's naming context
  Entry,         // the entry of the path
  MemberValues,  // the group's values of member
  Member,        // one member's entry, read by its DN
  MemberPage,    // the paged-results control of the member search
  MemberSearch,  // the members' entries, a page at a time
  Object,        // a call on an object already obtained
};

// How it failed.
enum class DirectoryFault : uint8_t {
  None,
  Refused,            // the call failed; `words` holds what libldap says, when it says anything
  TlsRefused,         // the same, where the TLS handshake failed or may have (a certificate not trusted
                      // looks so); also the TLS context refused
  TimedOut,           // cut after `seconds`: the server stopped answering
  NoEntry,            // the answer held no entry
  NoNamingContext,    // the rootDSE names no naming context
  InvalidPath,        // not "LDAP://host[:port][/DN]"
  EmptyPassword,      // an account without a password: a bind that would authenticate nothing
  NotAGroup,          // the entry is not of class group
  NotAUser,           // the member is known not to be a user
  ClassesUnreadable,  // the member's classes cannot be read, wholly or in part: names[0] its DN
  TwoEntriesOneKey,   // two entries whose DNs compare equal without regard to case: names[0], names[1]
  NoAttribute,        // the attribute names[0] has no value
  InvalidObject,      // an object of the wrong kind, or none
  NoValueYet,         // valueName before any value was fetched
  // SASL has no GSSAPI mechanism installed.
  SaslMechanismMissing,
  NoCredentials,      // no Kerberos ticket from the keytab: `kerberos` says why
  // The server wants a SASL security layer (signing or sealing) that the
  // bind does not stack on TLS: `words` holds its refusal.
  StrongAuthRequired,
};

// Why a ticket could not be had from the keytab, as Kerberos tells it.
enum class KerberosFault : uint8_t {
  None,
  NoKeytab,          // no keytab was named
  LibraryFailed,     // the Kerberos library did not start (its configuration)
  KeytabMissing,     // the file does not exist
  KeytabDenied,      // the service's account may not read it
  KeytabEmpty,       // it holds no key
  KeytabUnreadable,  // any other failure to read it
  KeysDoNotMatch,    // the KDC refused the keys (preauthentication failed)
  ClockSkew,         // the clocks differ beyond Kerberos' tolerance
  PrincipalUnknown,  // the KDC does not know the principal
  KdcUnreachable,    // no KDC of the realm answered
  RealmUnknown,      // no KDC of the realm could be found
  AccountDisabled,   // the account is disabled or locked
  PasswordExpired,   // the account's password expired
  Refused,           // any other refusal of the ticket
  // The in-memory credential cache refused by Kerberos, or by GSSAPI.
  CacheRefused,
  GssapiCacheRefused,
};
struct KerberosFailure {
  KerberosFault fault = KerberosFault::None;
  int32_t code = 0;       // Kerberos' own code
  std::string words;      // Kerberos' own message for it (UTF-8); empty when the library did not start
  std::string keytab;     // the keytab used
  std::string principal;  // its client principal, when it could be read
  std::string realm;      // the principal's realm
};

// What the backend knows of a failure it returned: which of its calls failed
// and how, with the system's own words. The group search puts it into the
// log's words; the backend never does.
struct DirectoryFailure {
  int32_t code = 0;  // the code the failing operation returned
  DirectoryCall call = DirectoryCall::None;
  DirectoryFault fault = DirectoryFault::None;
  // libldap's "LDAP <code>: <text>", with "; <diagnostic message>" when the
  // server sent one (UTF-8).
  std::string words;
  std::string names[2];  // DNs, an attribute or the URI, as `fault` and `call` say (UTF-8)
  uint32_t seconds = 0;  // the bound that TimedOut passed
  KerberosFailure kerberos;
};

struct DirectoryApi {
  // CoInitialize / CoUninitialize on the calling thread. On Linux these
  // only balance each other (0, then nothing to undo).
  int32_t (*initialize)();
  void (*uninitialize)();

  // ADsOpenObject with ADS_SECURE_AUTHENTICATION asking for IADs. `path` is
  // "LDAP://host[:port]" (the domain controller itself) or
  // "LDAP://host[:port]/<DN>" (one entry of it).
  int32_t (*openObject)(const std::u16string& path, const std::u16string& user, const std::u16string& password,
                        DirectoryRef* object);
  // IADs::get_ADsPath of a bound object; only success matters.
  int32_t (*getPath)(DirectoryRef object);
  // QueryInterface for IADsGroup: fails with kDirectoryNoInterface when the
  // bound entry is not a group.
  int32_t (*queryGroup)(DirectoryRef object, DirectoryRef* group);
  // IADsGroup::Members.
  int32_t (*members)(DirectoryRef group, DirectoryRef* members);
  // IADsMembers::get__NewEnum.
  int32_t (*newEnum)(DirectoryRef members, DirectoryRef* enumerator);
  // QueryInterface for IEnumVARIANT.
  int32_t (*queryEnumVariant)(DirectoryRef enumerator, DirectoryRef* variantEnumerator);
  // IEnumVARIANT::Next for one element. kDirectoryOk while elements remain,
  // kDirectoryNoMore at the end, negative on failure. `*element` is the
  // element's dispatch pointer, or null when the element carries none (on
  // Linux: a member the account cannot read); `*fetched` the count fetched.
  int32_t (*next)(DirectoryRef variantEnumerator, DirectoryRef* element, uint32_t* fetched);
  // QueryInterface for IADsUser: fails with kDirectoryNoInterface only when
  // the element is known not to be a user (its objectClass shows a class
  // that rules a user out: a nested group, a contact). An element whose
  // objectClass the account may not read, wholly or in part (no class that
  // decides), fails with another code: it may well be a user, so it counts
  // as a member that could not be read.
  int32_t (*queryUser)(DirectoryRef element, DirectoryRef* user);
  // IADs::Get of one string attribute ("cn", "samAccountName") as UTF-16.
  int32_t (*getAttribute)(DirectoryRef user, const std::u16string& name, std::u16string* value);
  // Gives back one reference (IUnknown::Release; VariantClear for elements).
  // Does nothing for null.
  void (*release)(DirectoryRef object);
  // The directory's own words for the last failure on this thread that
  // returned `code`, e.g. "0x8007052E" plus the system's text on Windows or
  // "LDAP 49: Invalid credentials" on Linux. Empty when there is nothing to add.
  std::u16string (*errorText)(int32_t code);

  // The distinguished name of one element of the enumeration, as the
  // directory spells it. Null in a backend that keeps the names itself.
  int32_t (*elementName)(DirectoryRef element, std::u16string* name);
  // The memberOf search of the cross-check, made once the enumeration has
  // reached its end: appends the distinguished name, as the directory spells
  // it, of every entry of the group's domain whose memberOf names the group.
  // A backend whose walk itself read those entries (LDAP) leaves out each
  // one it handed out as an element of the walk. A member's entry that the
  // account cannot search does not show here. Fails when the search fails
  // or was cut short. The group search decides which of them the walk did
  // not list.
  int32_t (*memberOfEntries)(const MemberCrossCheck& check, std::vector<std::u16string>* found);
  // The `index`-th value of member (from 0) that `next` on
  // `variantEnumerator` fetched, as the group lists it: the name of a member
  // that yielded no object, and what the walk listed. Null in a backend
  // whose elements always carry their own (elementName).
  int32_t (*valueName)(DirectoryRef variantEnumerator, size_t index, std::u16string* name);
  // The key under which two DNs compare equal, as the directory compares
  // them (without regard to case). Null: the DN with A to Z lower-cased.
  std::u16string (*dnKey)(std::u16string_view dn);
  // What the backend recorded of the last failure on this thread, when it
  // returned `code`; false when it has nothing for that code (errorText
  // then says what there is to say). Null in a backend whose errorText says
  // it all (ADSI).
  bool (*lastFailure)(int32_t code, DirectoryFailure* failure);
};

// The platform's own table.
const DirectoryApi& platformDirectoryApi();

// Tuning of the LDAP backend; the ADSI backend ignores it (ADSI tunes
// itself). Zero keeps the default.
struct DirectoryTuning {
  // Values of `member` asked for per request ("member;range=N-M"). 0 asks
  // for "member" and follows the ranges the server imposes (Active
  // Directory's MaxValRange, 1,500 by default).
  uint32_t rangeSize = 0;
  // Entries per page of the member attribute search (at most 1,000, Active
  // Directory's MaxPageSize).
  uint32_t pageSize = 0;
  // Bound on establishing a connection (TCP and TLS handshake), and on
  // waiting for any one answer of the directory, in seconds.
  uint32_t networkTimeoutSeconds = 0;
  uint32_t operationTimeoutSeconds = 0;
};
constexpr uint32_t kDefaultPageSize = 1000;
constexpr uint32_t kDefaultNetworkTimeoutSeconds = 10;
constexpr uint32_t kDefaultOperationTimeoutSeconds = 30;

// For tests and tools: replaces the tuning (call while no search runs).
void setDirectoryTuning(const DirectoryTuning& tuning);

// What the LDAP backend takes from above, before each read: the group search
// hands it over from the INI file and the environment (see
// directory/directory_trust.h). The backend chooses none of it.
struct DirectorySetup {
  // The certificate authority that the directory's certificate must chain
  // to; empty: the system's trust store. Read at the first connection;
  // later changes do not reach a process's TLS context.
  std::string caFile;
  // The Kerberos key table for a bind without a stored account (usr and pwd
  // both empty): a SASL GSSAPI bind over the same TLS connection as the
  // client principal the table holds, its tickets in a MEMORY: credential
  // cache of the process, never on disk. Empty: none named.
  std::string keytab;
  // What a zero time-out of DirectoryTuning stands for; zero here:
  // kDefaultNetworkTimeoutSeconds and kDefaultOperationTimeoutSeconds.
  uint32_t networkTimeoutSeconds = 0;
  uint32_t operationTimeoutSeconds = 0;
};
// Whether the platform takes a setup at all: not Windows, which trusts the
// machine's certificate store, binds as the service's own account without a
// keytab and tunes its own time-outs.
bool directoryTakesSetup();
// Replaces the setup (call while no search runs).
void setDirectorySetup(const DirectorySetup& setup);

// Reads the client principal of a keytab's first entry into `principal`,
// without reaching the KDC. False where it cannot be read, with `failure`
// saying why (NoKeytab for an empty path, LibraryFailed, KeytabMissing,
// KeytabDenied, KeytabEmpty or KeytabUnreadable).
bool readKeytabPrincipal(const std::string& keytab, std::string& principal, KerberosFailure& failure);

}  // namespace platform
