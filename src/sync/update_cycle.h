// The update cycle: read the watched group, list the HSM's users, and
// reconcile the two. Runs only on the worker thread; cycles never overlap.
//
// A stop request is honoured between members and HSM users, never inside an
// HSM or directory call; once the reconciliation has begun it always ends
// with the addb save.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"
#include "config/config.h"

// Number of successful group searches since the process started.
extern uint32_t searchCount;

// True for the names the service manages: exactly 15 bytes, an upper-case
// 'A' followed by 14 digits or lower-case letters a to f.
bool isManagedUserName(std::string_view name);

// What the reconciliation does to the HSM. The defaults are the real
// operations; tests and the benchmark put others in their place.
struct ReconcileActions {
  bool (*setBlocked)(bool block, std::string userId);
  void (*create)(GroupMember member);
  bool (*remove)(std::string userId);
  bool (*saveMembers)(MemberList members);
  RemovalPolicy (*policy)();
};
ReconcileActions defaultReconcileActions();

// Which members already have an HSM user and which managed names belong to
// a member: exactly what a first-match linear search of the other list
// gives, computed with hash sets so that the cost grows with the sum of the
// two lists, not their product.
struct ReconcilePlan {
  std::vector<uint8_t> memberFound;        // per member: its hsmUserId is a managed name
  std::vector<uint8_t> managedNameInGroup; // per managed name: some member has it
};
ReconcilePlan planReconciliation(const MemberList& members,
                                 const std::vector<std::string>& managedUserNames);

// One cycle: search the group (logs nothing here when it fails), count the
// search, remind the console user of the ESC key, then synchronizeHsm.
void runUpdateCycle();
using GroupSearchFunction = bool (*)(MemberList& members);
void runUpdateCycleWith(GroupSearchFunction search, const ReconcileActions& actions);

// The HSM side of one cycle: list the HSM's users, keep the managed names,
// read addb for its count, log the three counts and reconcile. Incomplete
// settings (the Error line names the empty keys) or a failed listing (the
// Error line gives its code) end the cycle without an addb save.
void synchronizeHsm(const MemberList& members);
void synchronizeHsmWith(const MemberList& members, const ReconcileActions& actions);

// Pass 1 over the members (unblock or create), pass 2 over the managed names
// (remove, block or only report those without a member), then the addb save.
void reconcile(const MemberList& members, const std::vector<std::string>& managedUserNames);
void reconcileWith(const MemberList& members, const std::vector<std::string>& managedUserNames,
                   const ReconcileActions& actions);

// Number of 400 ms slices in the pause before a cycle of `waitSeconds`: the
// pause ends at the first slice count c with trunc(c / 2.5) >= waitSeconds,
// after c - 1 slices; no pause for 0 or less (10 s: 24 slices).
int64_t pauseSliceCount(int32_t waitSeconds);
