#include "sync/blocked_users.h"

#include <algorithm>
#include <vector>

#include "hsm/addb.h"
#include "logging/log.h"
#include "platform/files.h"
#include "sync/update_cycle.h"

namespace {

bool saveFailureReported = false;

// The largest record addb may hold; a stored list within this much of the
// object's limit may have lost members at its end.
constexpr size_t kLargestAddbRecord = kAddbMaxUserIdBytes + kAddbMaxLogonBytes + kAddbMaxCommonNameBytes + 6;

bool mayHoldWholeGroup(const MemberList& members) {
  size_t bytes = 0;
  for (const GroupMember& m : members) bytes += m.hsmUserId.size() + m.logon.size() + m.commonName.size() + 6;
  return bytes + kLargestAddbRecord < kAddbTextSize - 1;
}

}  // namespace

std::u16string blockedUsersPath() { return platform::productPath(stateFolderPath(), u"\\kelvasync.blocked"); }

std::string formatBlockedUsers(const std::unordered_set<std::string>& names) {
  std::vector<std::string> sorted(names.begin(), names.end());
  std::sort(sorted.begin(), sorted.end());
  std::string text;
  for (const std::string& name : sorted) text += name + "\n";
  return text;
}

std::unordered_set<std::string> parseBlockedUsers(std::string_view text) {
  std::unordered_set<std::string> names;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (isManagedUserName(line)) names.emplace(line);
  }
  return names;
}

BlockedUsers loadBlockedUsers(const StoredMemberList& stored, const std::vector<std::string>& managedUserNames) {
  BlockedUsers blocked;
  std::string text;
  if (platform::readFileContents(blockedUsersPath(), text)) {
    blocked.known = true;
    blocked.names = parseBlockedUsers(text);
    return blocked;
  }
  // Written after this cycle whatever it finds: from then on the file tells.
  blocked.changed = true;
  // An addb that exists is never empty (an empty list is not saved).
  if (!stored.read || stored.members.empty() || !mayHoldWholeGroup(stored.members)) return blocked;
  std::unordered_set<std::string> named;
  for (const GroupMember& m : stored.members) named.insert(m.hsmUserId);
  blocked.known = true;
  for (const std::string& name : managedUserNames) {
    if (named.count(name) == 0) blocked.names.insert(name);
  }
  return blocked;
}

bool saveBlockedUsers(const BlockedUsers& blocked) {
  if (platform::replaceFileContents(blockedUsersPath(), formatBlockedUsers(blocked.names))) {
    saveFailureReported = false;
    return true;
  }
  if (!saveFailureReported) {
    saveFailureReported = true;
    writeLog(Warning,
             u"Nao foi possivel gravar o registro dos usuarios bloqueados '%s'; no proximo ciclo eles contam de novo "
             u"para o limite maxremovals",
             blockedUsersPath());
  }
  return false;
}
