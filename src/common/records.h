// Records shared by the directory reader and the HSM synchronization.
#pragma once

#include <string>
#include <vector>

// One member of the watched group: three 8-bit strings. A member whose
// directory object is not a user (a nested group, a contact) has all three
// empty.
struct GroupMember {
  std::string logon;       // sAMAccountName, narrowed and lower-cased
  std::string commonName;  // cn, narrowed, case kept
  std::string hsmUserId;   // "A" + 14 lower-case hex digits, or empty

  bool operator==(const GroupMember&) const = default;
};

// The members of one search, in the directory's order; duplicates stay.
using MemberList = std::vector<GroupMember>;
