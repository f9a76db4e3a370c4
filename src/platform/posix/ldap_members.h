// The members of a group as the Linux directory backend reads them: the
// values of `member`, and the members' entries. Used by directory_ldap.cpp.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/ldap_connection.h"

namespace platform::ldap {

// Whether a member is a user, as far as the classes it shows tell. Every
// user of Active Directory carries the class `user` (a computer and a
// managed service account too); one of a class that can be a member but
// never a user (a group, a contact, a foreign security principal) is not.
// Anything else is a member whose read is incomplete: no class visible, or
// only classes that decide nothing (top, person), as when an access rule
// hides the value `user` alone.
enum class MemberClass : uint8_t { Unknown, User, NotUser };

// One member's entry as the directory sent it (UTF-8).
struct MemberEntry {
  std::string dn, cn, logon;
  MemberClass memberClass = MemberClass::Unknown;
  bool hasCn = false, hasLogon = false;
};

// The values of `member` in the server's order, in one buffer.
class MemberValues {
 public:
  size_t size() const { return ends_.size(); }
  std::string_view operator[](size_t i) const {
    return std::string_view(text_).substr(i == 0 ? 0 : ends_[i - 1], ends_[i] - (i == 0 ? 0 : ends_[i - 1]));
  }
  void add(std::string_view value) {
    text_.append(value);
    ends_.push_back(text_.size());
  }

 private:
  std::string text_;
  std::vector<size_t> ends_;
};

// Every value of the group's `member`: "member", then the ranges a server
// that limits the values per answer names ("member;range=N-*" until a range
// ends in "*"), or ranges of tuning().rangeSize.
int32_t readMemberValues(Session& session, const std::string& groupDn, MemberValues& values);

// The key under which two DNs are matched: LDAPv3 form with the spacing
// normalised, ASCII letters lower-cased (Active Directory compares the
// attribute names and values of DNs without regard to case).
std::string dnKey(std::string_view dn);

// The members' entries in the order of the values, from one paged subtree
// search under the naming context for (memberOf=<group>) (at most 1,000
// entries a page). An entry is the entry of the value whose key its DN
// gives. A value the search does not return (outside the naming context, or
// without memberOf) is read by a base search on its own DN, and the entry it
// finds is also matched by the DN the server gives it (a value may spell a
// letter beyond ASCII in another case). Two entries whose DNs give one key
// (a case-exact naming attribute) fail the read, also across pages: neither
// may stand in for the other. The next page is asked for as soon as a page
// ends, so that the server prepares it while this side hands out the page
// in hand.
class MemberCursor {
 public:
  MemberCursor(std::shared_ptr<Session> session, std::string groupDn, std::shared_ptr<const MemberValues> values);
  ~MemberCursor();
  MemberCursor(const MemberCursor&) = delete;
  MemberCursor& operator=(const MemberCursor&) = delete;

  // The entry of the next value (null when it cannot be read here: no entry,
  // not visible to the account, held by another server); kDirectoryNoMore
  // past the last value.
  int32_t next(std::unique_ptr<MemberEntry>& entry);
  size_t fetched() const { return index_; }  // the values next has passed
  const MemberValues& values() const { return *values_; }
  // Reads the search to its end and appends the DN of each entry it
  // returned that no value claimed.
  int32_t unclaimed(std::vector<std::string>& dns);
  void recycle(std::unique_ptr<MemberEntry> entry);  // an entry handed out, to hold another

 private:
  struct Slot {
    std::unique_ptr<MemberEntry> waiting;  // the value's entry, read and not yet handed out
    uint64_t handedOut = 0;                // the hash of the DN handed out for it; 0: none
    bool repeat = false;                   // an earlier value has the same key and takes the entry
    bool plain = false;                    // the value is a plain DN (see dnKey)
  };
  void indexValues();
  size_t valueOf(std::string_view dn, uint64_t keyHash, bool plain) const;
  int32_t take(std::unique_ptr<MemberEntry> entry);
  int32_t claim(size_t index, const std::string& dn);
  int32_t requestPage();
  int32_t readPage();

  std::shared_ptr<Session> session_;
  std::string groupDn_;
  std::shared_ptr<const MemberValues> values_;
  size_t index_ = 0;
  std::vector<Slot> slots_;          // one per value
  std::vector<uint64_t> keyHashes_;  // each value's key hash
  std::vector<uint32_t> table_;      // the values by key hash: open addressing over index + 1, 0 empty
  std::unordered_map<std::string, std::unique_ptr<MemberEntry>> unclaimed_;  // by key
  std::vector<std::unique_ptr<MemberEntry>> spare_;
  berval* cookie_ = nullptr;
  int pendingMessage_ = -1;  // the request for the next page; -1: none outstanding
  bool searchDone_ = false;
};

}  // namespace platform::ldap
