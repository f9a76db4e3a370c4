// The update cycle: read the watched group, list the HSM's users, and
// reconcile the two. Runs only on the worker thread; cycles never overlap.
//
// A stop request is honoured between members and HSM users, never inside an
// HSM or directory call; once the reconciliation has begun it always ends
// with the addb save.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/records.h"
#include "config/config.h"
#include "hsm/user_creation.h"
#include "sync/blocked_users.h"
#include "sync/cycle_report.h"

// Number of successful group searches since the process started.
extern uint32_t searchCount;

// True for the names the service manages: exactly 15 bytes, an upper-case
// 'A' followed by 14 digits or lower-case letters a to f.
bool isManagedUserName(std::string_view name);

// What the reconciliation does to the HSM. The defaults are the real
// operations; tests and the benchmark put others in their place. Each
// operation reports whether it succeeded, for the cycle's summary line.
struct ReconcileActions {
  bool (*setBlocked)(bool block, std::string userId);
  CreationResult (*create)(GroupMember member);
  bool (*remove)(std::string userId);
  bool (*saveMembers)(MemberList members);
  RemovalPolicy (*policy)();
  // The most managed users one cycle may block or remove; none means no
  // limit. Null reads as no limit.
  std::optional<uint32_t> (*limit)() = nullptr;
  // Asked after an operation failed: true when the HSM stopped answering
  // (the operation's session could not be opened, and the HSM's address no
  // longer takes connections), with the cause and the code for the log.
  // The rest of the passes and the save then wait for the next cycle. Null
  // reads as never.
  bool (*hsmGone)(std::u16string& cause, int32_t& code) = nullptr;
};

// The real hsmGone: the last session that could not be opened, and a probe
// of its host.
bool hsmStoppedAnswering(std::u16string& cause, int32_t& code);
ReconcileActions defaultReconcileActions();

// What pass 1 does with one member.
enum class MemberStep : uint8_t {
  Unblock,  // its identifier is a managed name
  Create,   // it has an identifier that is not on the HSM
  Skip,     // it has no identifier (not a user, or the derivation failed)
};

// What pass 2 does with one managed name.
enum class ManagedStep : uint8_t {
  Keep,    // some member has it
  Remove,  // no member has it, removal policy "yes"
  Block,   // no member has it, removal policy "block"
  Report,  // no member has it, any other policy: only logged
};

// What decides pass 2 beyond the two lists.
struct ReconcileOptions {
  // Members of the group that could not be read. Any such member may own
  // one of the managed names, so none is blocked or removed.
  uint32_t unreadableMembers = 0;
  RemovalPolicy policy = RemovalPolicy::Neither;
  // Departures above this number make pass 2 do nothing.
  std::optional<uint32_t> maxRemovals;
  // The managed users this service blocked in an earlier cycle
  // (blocked_users.h): blocking or removing one of them again is no
  // departure. Null: none is known, every user without a member is one.
  const std::unordered_set<std::string>* blockedBefore = nullptr;
};

// Members of one read that give the same identifier: they share one HSM
// user, which stays while any of them is a member. Their logons may even
// read alike, since narrowing keeps only the low byte of each character
// ("\u0161imon" and "aimon"), so each is named with its common name.
struct IdentifierCollision {
  std::string hsmUserId;
  std::vector<std::pair<std::string, std::string>> members;  // logon and common name, in list order
};

// The reconciliation's decisions, made without any HSM call, so that the
// service and a dry run reach the same answer from the same inputs.
struct ReconcilePlan {
  // Which members already have an HSM user and which managed names belong
  // to a member: exactly what a first-match linear search of the other list
  // gives, computed with hash sets so that the cost grows with the sum of
  // the two lists, not their product.
  std::vector<uint8_t> memberFound;        // per member: its hsmUserId is a managed name
  std::vector<uint8_t> managedNameInGroup; // per managed name: some member has it

  std::vector<MemberStep> memberSteps;     // per member, in list order
  std::vector<ManagedStep> managedSteps;   // per managed name; empty until decided
  // Per managed name: this service blocked it in an earlier cycle.
  std::vector<uint8_t> managedBlockedBefore;
  size_t unblockCount = 0, createCount = 0, skipCount = 0;
  size_t orphanCount = 0;  // managed names no member has
  size_t keepCount = 0, removeCount = 0, blockCount = 0, reportCount = 0;
  // Blocks and removals of users that left since the last complete read
  // (what the removal limit counts), and blocks of users this service had
  // blocked already.
  size_t departureCount = 0, keptBlockCount = 0;
  uint32_t unreadableMembers = 0;
  // Users with a logon but no identifier (its derivation failed): their
  // HSM users cannot be told apart from those of members who left.
  uint32_t unidentifiedMembers = 0;
  std::vector<IdentifierCollision> collisions;

  // The read gave no member with an identifier while managed users exist.
  // A group emptied on purpose looks the same as a read that only looks
  // complete (an attribute the account may not see, a value hidden by an
  // access rule), so such a read blocks and removes nobody, whatever the
  // removal policy says; an administrator who emptied the group on purpose
  // takes the users away by hand.
  bool emptyRead = false;

  // Pass 2 does nothing (beyond one Warning line) when any of these holds.
  bool sparedForUnreadable = false;    // some member could not be read or identified
  bool removalLimitExceeded = false;   // departureCount > maxRemovals
  bool passTwoRuns() const { return !emptyRead && !sparedForUnreadable && !removalLimitExceeded; }
  // Pass 2 would block or remove every managed user.
  bool losesEveryManagedUser() const {
    return passTwoRuns() && !managedSteps.empty() && removeCount + blockCount == managedSteps.size();
  }
  // The members behind sparedForUnreadable: unreadable plus unidentified.
  uint32_t sparingMembers() const { return unreadableMembers + unidentifiedMembers; }
};

// One Warning line naming the logons that share the identifier.
void logIdentifierCollision(const IdentifierCollision& collision);

// Pass 1's half of the plan: the matches, memberSteps and the orphan count.
ReconcilePlan matchMembers(const MemberList& members, const std::vector<std::string>& managedUserNames);
// Pass 2's half: managedSteps, their counts and the two guards.
void decideManagedUsers(ReconcilePlan& plan, const ReconcileOptions& options,
                        const std::vector<std::string>& managedUserNames);
// Both halves.
ReconcilePlan planReconciliation(const MemberList& members, const std::vector<std::string>& managedUserNames,
                                 const ReconcileOptions& options = {});

// One cycle: search the group (logs nothing here when it fails), count the
// search, remind the console user of the ESC key, then synchronizeHsm.
CycleResult runUpdateCycle();
// A group search: the members read, and how many could not be read.
using GroupSearchFunction = bool (*)(MemberList& members, uint32_t& unreadableMembers);
CycleResult runUpdateCycleWith(GroupSearchFunction search, const ReconcileActions& actions);

// The HSM side of one cycle: list the HSM's users, keep the managed names,
// read addb for its count, log the three counts and reconcile. Incomplete
// settings (the Error line names the empty keys) or a failed listing (the
// Error line gives its code) end the cycle without an addb save.
void synchronizeHsm(const MemberList& members);
CycleResult synchronizeHsmWith(const MemberList& members, const ReconcileActions& actions,
                               uint32_t unreadableMembers = 0);

// Pass 1 over the members (unblock or create), pass 2 over the managed names
// (remove, block or only report those without a member), the addb save, then
// a summary line. Pass 2 is skipped, with one Warning line, when any member
// could not be read, when the read found no member while managed users
// exist, or when it would exceed the removal limit. The save runs only after
// a complete read (otherwise one Warning line says the stored list was
// kept); a failed save counts as a failed operation. A stop request is read
// after every member of pass 1 and before every name of pass 2.
// `blocked`, when given, tells departures from kept blocks and is brought up
// to date with what the passes did (see blocked_users.h).
void reconcile(const MemberList& members, const std::vector<std::string>& managedUserNames);
ReconcileCounts reconcileWith(const MemberList& members, const std::vector<std::string>& managedUserNames,
                              const ReconcileActions& actions, uint32_t unreadableMembers = 0,
                              BlockedUsers* blocked = nullptr);

// Number of 400 ms slices in the pause before a cycle of `waitSeconds`: the
// pause ends at the first slice count c with trunc(c / 2.5) >= waitSeconds,
// after c - 1 slices; no pause for 0 or less (10 s: 24 slices).
int64_t pauseSliceCount(int32_t waitSeconds);
