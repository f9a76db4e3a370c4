// Creation of the HSM user of one group member, with an initial password
// derived from the member's identifier. Worker thread only.
#pragma once

#include <string>
#include <string_view>

#include "common/records.h"

// Permission mask of every user the service creates.
inline constexpr uint32_t kCreatedUserPermissionMask = 0x4F;

// The initial password of a new user: the identifier with its first
// character replaced by a fixed lower-case letter and its second and third
// characters swapped. Never logged or stored; the caller wipes it.
std::string initialHsmPassword(std::string_view hsmUserId);

// What became of one creation: the user was made, it already existed and
// was unblocked instead, or the member still has no usable user.
enum class CreationResult { Created, Unblocked, Failed };

// Creates the member's user (name hsmUserId, the initial password, mask
// 0x4F) in a session of its own and logs the outcome. A user that already
// exists is unblocked instead. An empty identifier, or one longer than the
// HSM's user name field, is refused with an Error line before any HSM call.
CreationResult createSyncedUser(GroupMember member);
