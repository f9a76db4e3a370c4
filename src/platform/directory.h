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
// the keytab. errorText names the cause.
constexpr int32_t kDirectoryNoCredentials = static_cast<int32_t>(0x8009030E);

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

// What the cross-check of a walked member list is given (see
// DirectoryApi::unlistedMembers).
struct MemberCrossCheck {
  // The domain controller ("LDAP://host[:port]") and the account, for a
  // backend that must bind anew to search the domain. They view the
  // caller's strings, which outlive the check (no copy of the password).
  std::u16string_view domainPath, user, password;
  DirectoryRef group = nullptr;        // queryGroup's result
  DirectoryRef enumeration = nullptr;  // queryEnumVariant's result, walked to its end
  // elementName of every element the enumeration yielded, in order; empty
  // when the backend has no elementName.
  std::vector<std::u16string> listedNames;
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
  // The cross-check of the member list, made once the enumeration has
  // reached its end: every entry of the group's domain whose memberOf names
  // the group must have been among the values of `member` walked. Those that
  // were not (a value the account may not read, or one that moved between
  // two range requests of a large group while the group changed) are
  // appended to `unlisted`, by distinguished name. A member's entry that the
  // account cannot search does not show here, and needs not: its value was
  // walked. Fails when the search fails; the group then counts as not read.
  int32_t (*unlistedMembers)(const MemberCrossCheck& check, std::vector<std::u16string>* unlisted);
  // The member value that the last `next` on `variantEnumerator` fetched, as
  // the group lists it: the name of a member that yielded no object. Null
  // in a backend whose elements always carry their own (elementName).
  int32_t (*valueName)(DirectoryRef variantEnumerator, std::u16string* name);
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

// The certificate authority that the directory's certificate must chain to
// (Linux; Windows trusts the machine's certificate store). The file comes
// from one explicit place, in this order: the INI file's
// [activedirectory] cacert (setDirectoryCaFile), LDAPTLS_CACERT in the
// environment, TLS_CACERT of /etc/ldap/ldap.conf. Nothing else is read:
// no ldaprc or .ldaprc in the working or home folder, no $LDAPRC, so that
// whoever may write there cannot pick the trust anchor (nor any other
// setting of libldap). No file at all leaves the system's trust store.
struct DirectoryTrust {
  std::string caFile;  // empty: none named
  std::string source;  // where it was named
};
// Call before the first connection (the worker does at its start); later
// calls do not change a connection already made. Empty: no INI value. False
// where the platform trusts its own store and takes no file (Windows).
bool setDirectoryCaFile(const std::string& path);
DirectoryTrust directoryTrust();

// The Kerberos key table for a bind without a stored account (usr and pwd
// both empty): on Linux a SASL GSSAPI bind over the same TLS connection, as
// the client principal the keytab holds. The table comes from the INI
// file's [activedirectory] keytab (setDirectoryKeytab), else from
// KRB5_CLIENT_KTNAME in the environment (the unit's environment file).
// Tickets live in a MEMORY: credential cache of the process, never on disk.
struct DirectoryKeytab {
  std::string path;       // empty: none named
  std::string source;     // where it was named
  std::string principal;  // its client principal; empty when it cannot be read
  std::string problem;    // why it cannot be used, as the log says it; empty when it can
};
// Call before the first connection, like setDirectoryCaFile. Empty: no INI
// value. False where the platform binds as the service's own account and
// takes no keytab (Windows).
bool setDirectoryKeytab(const std::string& path);
// Reads the table named now (its first entry's principal); does not reach
// the KDC.
DirectoryKeytab directoryKeytab();

}  // namespace platform
