// The directory seam on Linux: Active Directory (or any LDAP server with its
// schema) through OpenLDAP's libldap, over one connection per bound object
// (ldap_connection.h) and the member read (ldap_members.h):
//   openObject "LDAP://host"     connect, TLS, bind, read the naming context
//   getPath                      succeeds when that naming context is known
//   openObject "LDAP://host/DN"  connect, TLS, bind, read the entry
//   queryGroup                   the entry is of class `group`
//   members                      every value of `member`, in the server's order
//   newEnum, queryEnumVariant    a MemberCursor over those values
//   next                         the value's entry; one that cannot be read is
//                                 an element without object
//   queryUser                    the entry shows the class `user` (one whose
//                                 classes rule a user out is "not a user", one
//                                 whose classes cannot be read is unreadable)
//   getAttribute                 cn, sAMAccountName, UTF-8 decoded
//   valueName, memberOfEntries   the values walked; the entries of the memberOf
//                                 search that no value claimed
// The host is reached over TLS only (StartTLS, or LDAPS on port 636), its
// certificate always verified, and the bind made only once TLS is up.
// Every call is bounded, so that a server that stops answering fails the
// step in hand and the search ends there.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/ldap_path.h"
#include "common/text.h"
#include "platform/directory.h"
#include "platform/posix/ldap_connection.h"
#include "platform/posix/ldap_members.h"

namespace platform {

// Counted as a COM object is: queryUser hands out the element once more.
// Touched by the worker thread only.
struct DirectoryObject {
  enum class Kind { Bound, Group, Members, Enumerator, VariantEnumerator, Element } kind;
  explicit DirectoryObject(Kind k) : kind(k) {}
  uint32_t references = 1;
  std::shared_ptr<ldap::Session> session;
  std::shared_ptr<const std::string> groupDn;  // as the server spells it; null when the entry is no group
  std::shared_ptr<ldap::MemberValues> values;
  std::shared_ptr<ldap::MemberCursor> cursor;
  std::unique_ptr<ldap::MemberEntry> member;
};

namespace {

using Kind = DirectoryObject::Kind;
using ldap::fail;

DirectoryRef newObject(Kind kind, const DirectoryObject* from) {
  auto* object = new DirectoryObject(kind);
  if (from != nullptr) {
    object->session = from->session;
    object->groupDn = from->groupDn;
    object->values = from->values;
    object->cursor = from->cursor;
  }
  return object;
}

// False, with the failure recorded, unless `object` is of `kind`.
bool isKind(DirectoryRef object, Kind kind) {
  if (object != nullptr && object->kind == kind) return true;
  fail(DirectoryCall::Object, DirectoryFault::InvalidObject);
  return false;
}

int32_t ldapOpenObject(const std::u16string& path, const std::u16string& user, const std::u16string& password,
                       DirectoryRef* object) {
  *object = nullptr;
  LdapPath parts;
  if (!parseLdapPath(utf16ToUtf8(path), parts)) return fail(DirectoryCall::Path, DirectoryFault::InvalidPath);
  auto session = std::make_shared<ldap::Session>();
  int32_t code = ldap::connectAndBind(parts, user, password, *session);
  std::shared_ptr<std::string> groupDn;
  if (directorySucceeded(code) && parts.dn.empty()) code = ldap::readNamingContext(*session);
  if (directorySucceeded(code) && !parts.dn.empty()) {
    char objectClass[] = "objectClass";
    char* attributes[] = {objectClass, nullptr};
    ldap::LdapMessage result;
    bool timedOut = false;
    const int rc = ldap::searchBase(*session, parts.dn, attributes, result, timedOut);
    LDAPMessage* entry = rc == LDAP_SUCCESS ? ldap_first_entry(session->ld, result.message) : nullptr;
    if (timedOut) return ldap::failTimedOut(DirectoryCall::Entry);
    if (rc != LDAP_SUCCESS) return ldap::failLdap(session->ld, rc, DirectoryCall::Entry);
    if (entry == nullptr) return fail(DirectoryCall::Entry, DirectoryFault::NoEntry);
    berval** classes = ldap_get_values_len(session->ld, entry, objectClass);
    for (berval** c = classes; c != nullptr && *c != nullptr && groupDn == nullptr; ++c) {
      if (!ldap::equalsIgnoreCase({(*c)->bv_val, (*c)->bv_len}, "group")) continue;
      char* dn = ldap_get_dn(session->ld, entry);
      groupDn = std::make_shared<std::string>(dn != nullptr ? dn : parts.dn);
      ldap_memfree(dn);
    }
    ldap_value_free_len(classes);
  }
  if (!directorySucceeded(code)) return code;
  *object = newObject(Kind::Bound, nullptr);
  (*object)->session = std::move(session);
  (*object)->groupDn = std::move(groupDn);
  return kDirectoryOk;
}

int32_t ldapGetPath(DirectoryRef object) {
  if (!isKind(object, Kind::Bound)) return kDirectoryFail;
  return object->session->namingContext.empty() && object->groupDn == nullptr
             ? fail(DirectoryCall::RootDse, DirectoryFault::NoNamingContext)
             : kDirectoryOk;
}

int32_t ldapQueryGroup(DirectoryRef object, DirectoryRef* group) {
  *group = nullptr;
  if (object == nullptr || object->groupDn == nullptr) {
    return fail(DirectoryCall::Entry, DirectoryFault::NotAGroup, kDirectoryNoInterface);
  }
  *group = newObject(Kind::Group, object);
  return kDirectoryOk;
}

int32_t ldapMembers(DirectoryRef group, DirectoryRef* members) {
  *members = nullptr;
  if (!isKind(group, Kind::Group)) return kDirectoryFail;
  auto values = std::make_shared<ldap::MemberValues>();
  const int32_t code = ldap::readMemberValues(*group->session, *group->groupDn, *values);
  if (!directorySucceeded(code)) return code;
  *members = newObject(Kind::Members, group);
  (*members)->values = std::move(values);
  return kDirectoryOk;
}

int32_t ldapNewEnum(DirectoryRef members, DirectoryRef* enumerator) {
  *enumerator = nullptr;
  if (!isKind(members, Kind::Members)) return kDirectoryFail;
  *enumerator = newObject(Kind::Enumerator, members);
  (*enumerator)->cursor = std::make_shared<ldap::MemberCursor>(members->session, *members->groupDn, members->values);
  return kDirectoryOk;
}

int32_t ldapQueryEnumVariant(DirectoryRef enumerator, DirectoryRef* variantEnumerator) {
  *variantEnumerator = nullptr;
  if (!isKind(enumerator, Kind::Enumerator))
    return fail(DirectoryCall::Object, DirectoryFault::InvalidObject, kDirectoryNoInterface);
  *variantEnumerator = newObject(Kind::VariantEnumerator, enumerator);
  return kDirectoryOk;
}

int32_t ldapNext(DirectoryRef variantEnumerator, DirectoryRef* element, uint32_t* fetched) {
  *element = nullptr;
  *fetched = 0;
  if (!isKind(variantEnumerator, Kind::VariantEnumerator)) return kDirectoryFail;
  std::unique_ptr<ldap::MemberEntry> entry;
  const int32_t code = variantEnumerator->cursor->next(entry);
  if (code != kDirectoryOk) return code;
  *fetched = 1;
  if (entry == nullptr) return kDirectoryOk;  // a member the account cannot read
  *element = new DirectoryObject(Kind::Element);
  (*element)->cursor = variantEnumerator->cursor;
  (*element)->member = std::move(entry);
  return kDirectoryOk;
}

int32_t ldapQueryUser(DirectoryRef element, DirectoryRef* user) {
  *user = nullptr;
  if (!isKind(element, Kind::Element)) return kDirectoryFail;
  if (element->member->memberClass == ldap::MemberClass::NotUser) {
    return fail(DirectoryCall::Member, DirectoryFault::NotAUser, kDirectoryNoInterface);
  }
  if (element->member->memberClass == ldap::MemberClass::Unknown) {
    fail(DirectoryCall::Member, DirectoryFault::ClassesUnreadable);
    ldap::lastFailure().names[0] = element->member->dn;
    return kDirectoryFail;
  }
  ++element->references;
  *user = element;
  return kDirectoryOk;
}

// Whether `name` spells the ASCII `attribute` in any case, without
// converting it: this is asked twice per member.
bool names(const std::u16string& name, std::string_view attribute) {
  return name.size() == attribute.size() &&
         std::equal(name.begin(), name.end(), attribute.begin(), [](char16_t x, char y) {
           return (x >= u'A' && x <= u'Z' ? x - u'A' + u'a' : x) == (y >= 'A' && y <= 'Z' ? y - 'A' + 'a' : y);
         });
}

int32_t ldapGetAttribute(DirectoryRef user, const std::u16string& name, std::u16string* value) {
  if (!isKind(user, Kind::Element) || user->member->memberClass != ldap::MemberClass::User) return kDirectoryFail;
  const ldap::MemberEntry& member = *user->member;
  const bool cn = member.hasCn && names(name, "cn"), logon = !cn && member.hasLogon && names(name, "sAMAccountName");
  if (!cn && !logon) {
    fail(DirectoryCall::Object, DirectoryFault::NoAttribute);
    ldap::lastFailure().names[0] = utf16ToUtf8(name);
    return kDirectoryFail;
  }
  // Most values are ASCII: widened into the caller's string, which keeps its room.
  const std::string& utf8 = cn ? member.cn : member.logon;
  if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    value->assign(utf8.begin(), utf8.end());
  } else {
    *value = utf8ToUtf16(utf8);
  }
  return kDirectoryOk;
}

int32_t ldapMemberOfEntries(const MemberCrossCheck& check, std::vector<std::u16string>* found) {
  if (!isKind(check.enumeration, Kind::VariantEnumerator)) return kDirectoryFail;
  std::vector<std::string> dns;
  const int32_t code = check.enumeration->cursor->unclaimed(dns);
  for (const std::string& dn : dns) found->push_back(utf8ToUtf16(dn));
  return code;
}

int32_t ldapValueName(DirectoryRef variantEnumerator, size_t index, std::u16string* name) {
  if (!isKind(variantEnumerator, Kind::VariantEnumerator)) return kDirectoryFail;
  const ldap::MemberCursor& cursor = *variantEnumerator->cursor;
  if (index >= cursor.fetched()) return fail(DirectoryCall::Object, DirectoryFault::NoValueYet);
  *name = utf8ToUtf16(cursor.values()[index]);
  return kDirectoryOk;
}

std::u16string ldapDnKey(std::u16string_view dn) { return utf8ToUtf16(ldap::dnKey(utf16ToUtf8(dn))); }

void ldapRelease(DirectoryRef object) {
  if (object == nullptr || --object->references > 0) return;
  if (object->cursor != nullptr && object->member != nullptr) object->cursor->recycle(std::move(object->member));
  delete object;
}

int32_t ldapInitialize() { return kDirectoryOk; }
void ldapUninitialize() {}

std::u16string ldapErrorText(int32_t code) {
  const DirectoryFailure& failure = ldap::lastFailure();
  if (failure.code != code) return {};
  return utf8ToUtf16(failure.fault == DirectoryFault::NoCredentials ? failure.kerberos.words : failure.words);
}

bool ldapLastFailure(int32_t code, DirectoryFailure* failure) {
  if (ldap::lastFailure().code != code || ldap::lastFailure().fault == DirectoryFault::None) return false;
  *failure = ldap::lastFailure();
  return true;
}

const DirectoryApi ldapApi = {
    ldapInitialize,   ldapUninitialize, ldapOpenObject,       ldapGetPath, ldapQueryGroup,
    ldapMembers,      ldapNewEnum,      ldapQueryEnumVariant, ldapNext,    ldapQueryUser,
    ldapGetAttribute, ldapRelease,      ldapErrorText,        nullptr,     ldapMemberOfEntries,
    ldapValueName,    ldapDnKey,        ldapLastFailure,
};

}  // namespace

const DirectoryApi& platformDirectoryApi() { return ldapApi; }
void setDirectoryTuning(const DirectoryTuning& tuning) { ldap::tuning() = tuning; }
bool directoryTakesSetup() { return true; }
void setDirectorySetup(const DirectorySetup& setup) { ldap::setup() = setup; }

}  // namespace platform
