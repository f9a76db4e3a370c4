#include "platform/posix/ldap_members.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <functional>

namespace platform::ldap {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// The characters of a plain DN: 1 may continue an attribute type (2 may
// start one), 4 may stand in a value.
constexpr std::array<uint8_t, 256> kPlainChars = [] {
  std::array<uint8_t, 256> classes{};
  for (int c = 0; c < 256; ++c) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'), digit = c >= '0' && c <= '9';
    classes[c] = static_cast<uint8_t>((letter || digit || c == '-' ? 1 : 0) | (letter ? 2 : 0) |
                                      (letter || digit || c == '.' || c == '-' || c == '_' || c == ' ' ? 4 : 0));
  }
  return classes;
}();
bool isClass(char c, uint8_t mask) { return (kPlainChars[static_cast<unsigned char>(c)] & mask) != 0; }

// True for a DN that ldap_dn_normalize() gives back unchanged: RDNs of one
// "type=value" each, types of letters, digits and '-' starting with a
// letter, values of letters, digits, '.', '-', '_' and inner blanks, joined
// by ',' with no blank around it. Most DNs are of this form; their key is
// then the DN lower-cased, without libldap's parser, which costs more than
// the rest of a member.
bool isPlainDn(std::string_view dn) {
  for (size_t i = 0, n = dn.size();;) {
    if (i == n || !isClass(dn[i], 2)) return false;
    while (i < n && isClass(dn[i], 1)) ++i;
    if (i == n || dn[i] != '=') return false;
    const size_t value = ++i;
    while (i < n && isClass(dn[i], 4)) ++i;
    if (i == value || dn[value] == ' ' || dn[i - 1] == ' ') return false;
    if (i == n) return true;
    if (dn[i++] != ',') return false;
  }
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// A hash of `bytes` with A to Z lower-cased, eight bytes at a time: one hash
// for a plain DN and its key alike. Never 0, which stands for none.
uint64_t hashLowered(std::string_view bytes) {
  const auto lowered = [](uint64_t word) {
    const uint64_t low7 = word & 0x7F7F7F7F7F7F7F7Full;
    const uint64_t upper =
        (low7 + 0x3F3F3F3F3F3F3F3Full) & ~(low7 + 0x2525252525252525ull) & ~word & 0x8080808080808080ull;
    return word | (upper >> 2);  // 0x20 into each byte from 'A' to 'Z'
  };
  uint64_t hash = 0x9E3779B97F4A7C15ull ^ bytes.size(), word = 0;
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::memcpy(&word, bytes.data() + i, 8);
    hash = (hash ^ lowered(word)) * 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 29;
  }
  word = 0;
  std::memcpy(&word, bytes.data() + i, bytes.size() - i);
  return ((hash ^ lowered(word)) * 0xFF51AFD7ED558CCDull) | 1;
}
uint64_t keyHash(std::string_view dn, bool& plain) {
  plain = isPlainDn(dn);
  return hashLowered(plain ? dn : std::string_view(dnKey(dn)));
}
// The hash of a DN as the server spells it, case and all: two entries of one
// key are told apart by it.
uint64_t exactHash(std::string_view dn) { return std::hash<std::string_view>{}(dn) | 1; }

int32_t failTwoEntriesOneKey(std::string_view first, std::string_view second) {
  fail(DirectoryCall::MemberSearch, DirectoryFault::TwoEntriesOneKey);
  lastFailure().names[0] = first;
  lastFailure().names[1] = second;
  return kDirectoryFail;
}

char memberAttributes[3][16] = {"objectClass", "cn", "sAMAccountName"};

// The parts of a member's entry the read uses, in one pass over the entry
// with every value read in place (libldap's attribute reader allocates for
// each attribute, and a search of many members spends most of its time
// here), into strings that keep their room from one member to the next. An
// entry without a DN is left with an empty one.
void parseEntry(LDAP* ld, LDAPMessage* message, MemberEntry& member) {
  member.dn.clear();
  member.memberClass = MemberClass::Unknown;
  member.hasCn = member.hasLogon = false;
  BerElement* ber = nullptr;
  berval dn{}, attribute{}, value{};
  if (ldap_get_dn_ber(ld, message, &ber, &dn) == LDAP_SUCCESS) {
    member.dn.assign(dn.bv_val, dn.bv_len);
    ber_len_t length = 0;
    char* last = nullptr;
    bool whole = true;
    // Each attribute: SEQUENCE { type, SET OF value }.
    while (whole && ber_peek_tag(ber, &length) == LBER_SEQUENCE && ber_skip_tag(ber, &length) != LBER_DEFAULT &&
           ber_skip_element(ber, &attribute) != LBER_DEFAULT) {
      const std::string_view name(attribute.bv_val, attribute.bv_len);
      const bool classes = equalsIgnoreCase(name, memberAttributes[0]);
      std::string* text = equalsIgnoreCase(name, memberAttributes[1])   ? &member.cn
                          : equalsIgnoreCase(name, memberAttributes[2]) ? &member.logon
                                                                        : nullptr;
      bool& has = text == &member.cn ? member.hasCn : member.hasLogon;
      for (ber_tag_t tag = ber_first_element(ber, &length, &last); whole && tag != LBER_DEFAULT;
           tag = ber_next_element(ber, &length, last)) {
        whole = ber_skip_element(ber, &value) != LBER_DEFAULT;
        const std::string_view v(value.bv_val, whole ? value.bv_len : 0);
        if (classes && equalsIgnoreCase(v, "user")) {
          member.memberClass = MemberClass::User;
        } else if (classes && member.memberClass == MemberClass::Unknown &&
                   (equalsIgnoreCase(v, "group") || equalsIgnoreCase(v, "contact") ||
                    equalsIgnoreCase(v, "foreignSecurityPrincipal"))) {
          member.memberClass = MemberClass::NotUser;
        } else if (text != nullptr && whole && !has) {
          has = true;
          text->assign(v);
        }
      }
    }
  }
  if (ber != nullptr) ber_free(ber, 0);
}

// The range of an attribute description "member;range=low-high" (high -1
// for "*"); false when it is not a range of member.
bool parseRange(std::string_view description, long long& low, long long& high) {
  constexpr std::string_view prefix = "member;range=";
  if (description.size() <= prefix.size() || !equalsIgnoreCase(description.substr(0, prefix.size()), prefix)) {
    return false;
  }
  const std::string_view range = description.substr(prefix.size());
  const size_t dash = range.find('-');
  if (dash == 0 || dash == std::string_view::npos ||
      std::from_chars(range.data(), range.data() + dash, low).ptr != range.data() + dash) {
    return false;
  }
  const std::string_view upper = range.substr(dash + 1);
  high = -1;
  return upper == "*" ||
         (!upper.empty() &&
          std::from_chars(upper.data(), upper.data() + upper.size(), high).ptr == upper.data() + upper.size() &&
          high >= low);
}

}  // namespace

std::string dnKey(std::string_view dn) {
  std::string key(dn);
  char* normalised = nullptr;
  if (!isPlainDn(dn) &&
      ldap_dn_normalize(key.c_str(), LDAP_DN_FORMAT_LDAP, &normalised, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS &&
      normalised != nullptr) {
    key = normalised;
  }
  ldap_memfree(normalised);
  std::transform(key.begin(), key.end(), key.begin(), lower);
  return key;
}

int32_t readMemberValues(Session& session, const std::string& groupDn, MemberValues& values) {
  const uint32_t rangeSize = tuning().rangeSize;
  long long low = 0;
  for (bool first = true;; first = false) {
    std::string description = "member";
    if (!first || rangeSize != 0) {
      description +=
          ";range=" + std::to_string(low) + "-" + (rangeSize != 0 ? std::to_string(low + rangeSize - 1) : "*");
    }
    char* attributes[] = {description.data(), nullptr};
    LdapMessage result;
    bool timedOut = false;
    const int rc = searchBase(session, groupDn, attributes, result, timedOut);
    if (timedOut) return failTimedOut(DirectoryCall::MemberValues);
    if (rc != LDAP_SUCCESS) return failLdap(session.ld, rc, DirectoryCall::MemberValues);
    LDAPMessage* entry = ldap_first_entry(session.ld, result.message);
    if (entry == nullptr) return fail(DirectoryCall::MemberValues, DirectoryFault::NoEntry);
    bool more = false;
    BerElement* ber = nullptr;
    berval dn{}, name{};
    berval* list = nullptr;
    if (ldap_get_dn_ber(session.ld, entry, &ber, &dn) == LDAP_SUCCESS) {
      while (ldap_get_attribute_ber(session.ld, entry, ber, &name, &list) == LDAP_SUCCESS && name.bv_val != nullptr) {
        long long rangeLow = 0, rangeHigh = 0;
        const bool whole = equalsIgnoreCase({name.bv_val, name.bv_len}, "member");
        if (whole || (parseRange({name.bv_val, name.bv_len}, rangeLow, rangeHigh) && rangeLow == low)) {
          for (berval* v = list; v != nullptr && v->bv_val != nullptr; ++v) values.add({v->bv_val, v->bv_len});
          if (!whole && rangeHigh >= 0) {
            more = true;
            low = rangeHigh + 1;
          }
        }
        ber_memfree(list);
        list = nullptr;
      }
    }
    ber_memfree(list);
    if (ber != nullptr) ber_free(ber, 0);
    if (!more) return kDirectoryOk;  // the whole attribute, the last range, or no values left
  }
}

MemberCursor::MemberCursor(std::shared_ptr<Session> session, std::string groupDn,
                           std::shared_ptr<const MemberValues> values)
    : session_(std::move(session)), groupDn_(std::move(groupDn)), values_(std::move(values)) {}

MemberCursor::~MemberCursor() {
  if (pendingMessage_ >= 0) ldap_abandon_ext(session_->ld, pendingMessage_, nullptr, nullptr);
  if (cookie_ != nullptr) ber_bvfree(cookie_);
}

size_t MemberCursor::valueOf(std::string_view dn, uint64_t hash, bool plain) const {
  const size_t mask = table_.size() - 1;
  for (size_t at = hash & mask; table_[at] != 0; at = (at + 1) & mask) {
    const size_t i = table_[at] - 1;
    if (keyHashes_[i] != hash) continue;
    const std::string_view value = (*values_)[i];
    if (plain && slots_[i].plain ? equalsIgnoreCase(value, dn) : dnKey(value) == dnKey(dn)) return i;
  }
  return kNone;
}

void MemberCursor::recycle(std::unique_ptr<MemberEntry> entry) {
  if (entry != nullptr && spare_.size() < kDefaultPageSize) spare_.push_back(std::move(entry));
}

// An entry of the search: its value's when a value's key names it, else
// kept aside by its own key.
int32_t MemberCursor::take(std::unique_ptr<MemberEntry> entry) {
  bool plain = false;
  const uint64_t hash = keyHash(entry->dn, plain);
  if (const size_t i = valueOf(entry->dn, hash, plain); i != kNone) {
    Slot& slot = slots_[i];
    if (slot.waiting != nullptr && slot.waiting->dn != entry->dn)
      return failTwoEntriesOneKey(slot.waiting->dn, entry->dn);
    if (slot.handedOut == 0) {
      recycle(std::move(slot.waiting));
      slot.waiting = std::move(entry);
      return kDirectoryOk;
    }
    if (slot.handedOut != exactHash(entry->dn)) return failTwoEntriesOneKey((*values_)[i], entry->dn);
    // The entry handed out already, once more: kept aside with the rest.
  }
  std::unique_ptr<MemberEntry>& kept = unclaimed_[dnKey(entry->dn)];
  if (kept != nullptr && kept->dn != entry->dn) return failTwoEntriesOneKey(kept->dn, entry->dn);
  recycle(std::move(kept));
  kept = std::move(entry);
  return kDirectoryOk;
}

// The DN the server gives the entry that value `index` yielded by its own
// DN: the search may have returned it under that spelling, and then it is
// this member, not one the list lacks, unless it is another entry of the
// same key.
int32_t MemberCursor::claim(size_t index, const std::string& dn) {
  bool plain = false;
  const uint64_t hash = keyHash(dn, plain);
  const size_t i = valueOf(dn, hash, plain);
  if (i == kNone) {
    const auto same = unclaimed_.find(dnKey(dn));
    if (same == unclaimed_.end()) return kDirectoryOk;
    if (same->second->dn != dn) return failTwoEntriesOneKey(same->second->dn, dn);
    unclaimed_.erase(same);
  } else if (i != index) {
    const Slot& slot = slots_[i];
    if (slot.waiting != nullptr && slot.waiting->dn != dn) return failTwoEntriesOneKey(slot.waiting->dn, dn);
    if (slot.handedOut != 0 && slot.handedOut != exactHash(dn)) return failTwoEntriesOneKey((*values_)[i], dn);
  }
  return kDirectoryOk;
}

// The values by key, once, before the first entry is taken.
void MemberCursor::indexValues() {
  const MemberValues& values = *values_;
  if (!table_.empty()) return;
  slots_.resize(values.size());
  keyHashes_.resize(values.size());
  table_.assign(std::max<size_t>(16, std::bit_ceil(2 * values.size())), 0);
  for (size_t i = 0; i < values.size(); ++i) {
    keyHashes_[i] = keyHash(values[i], slots_[i].plain);
    slots_[i].repeat = valueOf(values[i], keyHashes_[i], slots_[i].plain) != kNone;
    size_t at = keyHashes_[i] & (table_.size() - 1);
    while (!slots_[i].repeat && table_[at] != 0) at = (at + 1) & (table_.size() - 1);
    if (!slots_[i].repeat) table_[at] = static_cast<uint32_t>(i + 1);
  }
}

int32_t MemberCursor::next(std::unique_ptr<MemberEntry>& entry) {
  entry.reset();
  const MemberValues& values = *values_;
  if (index_ >= values.size()) return kDirectoryNoMore;
  indexValues();
  Slot& slot = slots_[index_];
  int32_t code = kDirectoryOk;
  while (!slot.repeat && slot.waiting == nullptr && !searchDone_ && directorySucceeded(code)) code = readPage();
  if (slot.waiting != nullptr && directorySucceeded(code)) {
    entry = std::move(slot.waiting);
    slot.handedOut = exactHash(entry->dn);
  } else {
    // Read by its own DN once every entry of the search is known.
    while (!searchDone_ && directorySucceeded(code)) code = readPage();
    if (!directorySucceeded(code)) return code;
    char* attributes[] = {memberAttributes[0], memberAttributes[1], memberAttributes[2], nullptr};
    LdapMessage result;
    bool timedOut = false;
    const int rc = searchBase(*session_, std::string(values[index_]), attributes, result, timedOut);
    if (timedOut) return failTimedOut(DirectoryCall::Member);
    // No entry, one the account may not see, or one held by another server:
    // a member that cannot be read here. Any other failure fails the read.
    if (rc != LDAP_SUCCESS && rc != LDAP_NO_SUCH_OBJECT && rc != LDAP_INSUFFICIENT_ACCESS && rc != LDAP_REFERRAL &&
        rc != LDAP_INVALID_DN_SYNTAX) {
      return failLdap(session_->ld, rc, DirectoryCall::Member);
    }
    LDAPMessage* found = rc == LDAP_SUCCESS ? ldap_first_entry(session_->ld, result.message) : nullptr;
    if (found != nullptr) {
      entry = std::make_unique<MemberEntry>();
      parseEntry(session_->ld, found, *entry);
      if (entry->dn.empty()) entry.reset();
    }
    if (entry != nullptr && !directorySucceeded(code = claim(index_, entry->dn))) {
      entry.reset();
      return code;
    }
  }
  ++index_;
  return code;
}

int32_t MemberCursor::unclaimed(std::vector<std::string>& dns) {
  indexValues();
  while (!searchDone_) {
    const int32_t code = readPage();
    if (!directorySucceeded(code)) return code;
  }
  for (const Slot& slot : slots_) {
    if (slot.waiting != nullptr) dns.push_back(slot.waiting->dn);
  }
  for (const auto& kept : unclaimed_) dns.push_back(kept.second->dn);
  return kDirectoryOk;
}

// Asks for the page after the cookie (the first page when there is none).
int32_t MemberCursor::requestPage() {
  Session& session = *session_;
  if (session.namingContext.empty()) {
    const int32_t code = readNamingContext(session);
    if (!directorySucceeded(code)) return code;
    if (session.namingContext.empty()) return fail(DirectoryCall::RootDse, DirectoryFault::NoNamingContext);
  }
  berval group{groupDn_.size(), groupDn_.data()}, escaped{};
  const bool escapedOk = ldap_bv2escaped_filter_value(&group, &escaped) == 0;
  const std::string filter = "(memberOf=" + (escapedOk ? std::string(escaped.bv_val, escaped.bv_len) : groupDn_) + ")";
  if (escapedOk) ber_memfree(escaped.bv_val);
  char* attributes[] = {memberAttributes[0], memberAttributes[1], memberAttributes[2], nullptr};
  LDAPControl* page = nullptr;
  int rc = ldap_create_page_control(session.ld, static_cast<ber_int_t>(pageSize()), cookie_, 1, &page);
  if (rc != LDAP_SUCCESS) return failLdap(session.ld, rc, DirectoryCall::MemberPage);
  LDAPControl* controls[] = {page, nullptr};
  timeval wait{static_cast<time_t>(operationTimeout()), 0};
  rc = ldap_search_ext(session.ld, session.namingContext.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attributes, 0,
                       controls, nullptr, &wait, 0, &pendingMessage_);
  ldap_control_free(page);
  if (rc != LDAP_SUCCESS) pendingMessage_ = -1;
  return rc == LDAP_SUCCESS ? kDirectoryOk : failLdap(session.ld, rc, DirectoryCall::MemberSearch);
}

// Reads the next page, taking its entries one by one as they arrive (so that
// reading them overlaps the server's sending of the rest), and asks for the
// page after it. The page as a whole is bounded, by the operation time-out
// and, since a message that stops half-way blocks the read of the socket
// beyond libldap's waits, by the watchdog.
int32_t MemberCursor::readPage() {
  Session& session = *session_;
  const WatchdogScope scope(session.socket, std::chrono::seconds(callBound()));
  if (const int32_t code = pendingMessage_ < 0 ? requestPage() : kDirectoryOk; !directorySucceeded(code)) {
    return code;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(operationTimeout());
  LdapMessage result;
  for (int type = 0; type != LDAP_RES_SEARCH_RESULT;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    timeval wait{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
    LDAPMessage* message = nullptr;
    type = left.count() > 0 ? ldap_result(session.ld, pendingMessage_, LDAP_MSG_ONE, &wait, &message) : 0;
    if (type <= 0) {
      int rc = LDAP_TIMEOUT;
      if (type < 0) ldap_get_option(session.ld, LDAP_OPT_RESULT_CODE, &rc);
      ldap_abandon_ext(session.ld, pendingMessage_, nullptr, nullptr);
      pendingMessage_ = -1;
      return scope.timedOut() ? failTimedOut(DirectoryCall::MemberSearch)
                              : failLdap(session.ld, rc, DirectoryCall::MemberSearch);
    }
    LdapMessage held{message};
    LDAPMessage* first = type == LDAP_RES_SEARCH_ENTRY ? ldap_first_entry(session.ld, message) : nullptr;
    if (type == LDAP_RES_SEARCH_RESULT) std::swap(result.message, held.message);
    if (first == nullptr) continue;  // the result, or a continuation reference: another server's entries
    std::unique_ptr<MemberEntry> entry = spare_.empty() ? std::make_unique<MemberEntry>() : std::move(spare_.back());
    if (!spare_.empty()) spare_.pop_back();
    parseEntry(session.ld, first, *entry);
    const int32_t code = entry->dn.empty() ? kDirectoryOk : take(std::move(entry));
    recycle(std::move(entry));
    if (!directorySucceeded(code)) {
      ldap_abandon_ext(session.ld, pendingMessage_, nullptr, nullptr);
      pendingMessage_ = -1;
      return code;
    }
  }
  pendingMessage_ = -1;
  if (scope.timedOut()) return failTimedOut(DirectoryCall::MemberSearch);

  // The cookie of the next page; none (or an empty one) ends the search.
  LDAPControl** controls = nullptr;
  int resultCode = LDAP_SUCCESS;
  int rc = ldap_parse_result(session.ld, result.message, &resultCode, nullptr, nullptr, nullptr, &controls, 0);
  if (rc == LDAP_SUCCESS) rc = resultCode;
  berval cookie{};
  ber_int_t estimate = 0;
  LDAPControl* response =
      controls != nullptr ? ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr) : nullptr;
  if (cookie_ != nullptr) ber_bvfree(cookie_);
  cookie_ = nullptr;
  if (rc == LDAP_SUCCESS && response != nullptr &&
      ldap_parse_pageresponse_control(session.ld, response, &estimate, &cookie) == LDAP_SUCCESS && cookie.bv_len > 0) {
    cookie_ = ber_bvdup(&cookie);
  }
  ber_memfree(cookie.bv_val);
  if (controls != nullptr) ldap_controls_free(controls);
  if (rc != LDAP_SUCCESS) return failLdap(session.ld, rc, DirectoryCall::MemberSearch);
  searchDone_ = cookie_ == nullptr;
  return searchDone_ ? kDirectoryOk : requestPage();
}

}  // namespace platform::ldap
