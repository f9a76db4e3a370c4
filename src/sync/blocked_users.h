// The managed users this service has blocked and not unblocked since, so
// that a cycle tells a member who left since the last complete read (a
// departure, which the removal limit counts) from one it blocked long ago
// (a kept block, carried out again but not counted). The HSM's listing does
// not say who is blocked, and under removeusers=block the users of former
// members stay on the HSM for good: counted each cycle, they alone would
// trip the limit for ever once there were more of them than maxremovals.
//
// Kept in kelvasync.blocked in the state folder (beside kelvasync.status):
// ASCII, one managed identifier per line, replaced whole when it changes.
// Without that file (the first cycle after an upgrade, a file lost), the
// stored member list stands in: a managed user that addb does not name was
// already gone at the last complete read, so an earlier cycle dealt with
// it. When addb is missing, unreadable or may not hold the whole group (it
// keeps at most 64 KB of records), nothing is known and every user without
// a member counts as a departure, as a first cycle would count it.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/records.h"

struct BlockedUsers {
  bool known = false;  // from the file or from addb; false: every departure counts
  std::unordered_set<std::string> names;
  bool changed = false;  // a block, an unblock or a user gone since it was loaded
};

// What addb gave this cycle: whether it was read, and its records.
struct StoredMemberList {
  bool read = false;
  MemberList members;
};

// kelvasync.blocked in the state folder.
std::u16string blockedUsersPath();

// The record as the file holds it; when there is none, what the stored
// member list tells of the managed users listed now (see above), with
// `changed` set so that the file exists after this cycle (from then on a
// user made by hand with a managed name counts as a departure).
BlockedUsers loadBlockedUsers(const StoredMemberList& stored, const std::vector<std::string>& managedUserNames);

// Replaces the file with `blocked`; false (with one Warning line per
// process) when it cannot be written: the next cycle then counts as
// departures the users blocked in this one.
bool saveBlockedUsers(const BlockedUsers& blocked);

// The file's text for `names` (sorted, so that it does not churn), and the
// names read back from such a text (lines that are no managed name are
// skipped).
std::string formatBlockedUsers(const std::unordered_set<std::string>& names);
std::unordered_set<std::string> parseBlockedUsers(std::string_view text);
