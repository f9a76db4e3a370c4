// Operations on one existing HSM user, named by its identifier: block or
// unblock it, or remove it. Each reads its own cached [hsm] settings, works
// in a session of its own that it closes on every path, and logs its own
// outcome; callers take no further action on a failure. Worker thread only.
#pragma once

#include <string>

// Longest identifier the HSM's user name field holds.
inline constexpr size_t kHsmUserIdMaxBytes = 16;

// False, with an Error line, when `userId` is longer than the HSM's user
// name field; such an identifier never reaches the HSM.
bool checkHsmUserIdLength(const std::string& userId);

// Blocks (true) or unblocks (false) the user. True when the HSM accepted the
// change. Silent false when the [hsm] settings are incomplete. An Error
// line when no session could be opened; in that case and when the HSM
// refuses the request, a Warning line names the user, the operation and
// the code.
bool setHsmUserBlocked(bool block, std::string userId);

// Removes the user. True when it was removed; an Error line with the code
// when the session could not be opened or the HSM refused.
bool removeSyncedUser(std::string userId);
