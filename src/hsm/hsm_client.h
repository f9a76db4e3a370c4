// The service's boundary to the HSM client library (pelorlib.h).
//
// Every operation here except createHsmUser opens its own session and, once
// it is open, closes it again on every path; no session outlives the call.
// None of them logs: their callers report the codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pelorlib.h"

// Returned by listHsmUsers when the host, user or password is empty; the
// HSM is not contacted then.
inline constexpr int32_t kHsmSettingsIncomplete = 39321;  // 0x9999

// Port of every session; a host of the form "name:port" overrides it.
inline constexpr uint32_t kHsmPort = 4433;

// Prepares the client library for this process (KvInitialize) and lets it
// go again (KvFinalize). The worker holds it from its start to its end;
// kelvasync-check around its HSM step.
int32_t initializeHsmLibrary();
void finalizeHsmLibrary();

// Fills an HsmLoginBlock (cleared first) and opens a session. A host, user
// or password that does not fit its field with its terminator is refused
// with KV_ERR_BAD_ARGUMENT before the library is called.
int32_t openHsmSession(KvSession& session, const std::string& host, const std::string& user,
                       const std::string& password);

// The code of the last session that the client library could not open on
// this thread since the last call (0: none), and the host it was for; the
// call clears it. Lets the cycle tell an HSM that stopped answering from an
// operation the HSM refused.
int32_t takeSessionOpenFailure(std::string& host);

// Creates a user in a session the caller opened (and closes). An identifier
// or password that does not fit HsmNewUserBlock is refused with
// KV_ERR_BAD_ARGUMENT before the library is called.
int32_t createHsmUser(KvSession session, uint32_t permissionMask, const std::string& userId,
                      const std::string& password);

// Empties `users`, then fills it with the HSM's user names in the HSM's
// order, without "master". Returns kHsmSettingsIncomplete when a setting is
// empty, the open's code when the session cannot be opened, otherwise the
// listing's code. On any failure `users` is left empty. `sessionOpened`, when
// given, tells which step a failure belongs to: false for the settings or the
// open (connection and login), true for the listing itself.
int32_t listHsmUsers(std::vector<std::string>& users, const std::string& host,
                     const std::string& user, const std::string& password,
                     bool* sessionOpened = nullptr);

// listHsmUsers, and in the same session, once the listing succeeded, a
// read of `objectName` ("owner/name": another account's object) whose bytes
// are dropped: `objectCode` receives that read's code (KV_OK, or
// KV_ERR_OBJECT_NOT_FOUND when the object does not exist but the session's
// user may look for it; kHsmObjectNotTried when the listing failed). Lets
// kelvasync-check see an account's rights on those objects without writing
// anything.
inline constexpr int32_t kHsmObjectNotTried = -1;
int32_t listHsmUsersThenReadObject(std::vector<std::string>& users, const std::string& host, const std::string& user,
                                   const std::string& password, const std::string& objectName, int32_t& objectCode,
                                   bool* sessionOpened = nullptr);

// Removes one HSM user. Returns the removal's code, or the open's.
int32_t removeHsmUser(const std::string& host, const std::string& user,
                      const std::string& password, const std::string& userId);

// In one session: when `current` exists, removes `backup` (its result is not
// examined, so a missing backup is no error), then renames `current` to
// `backup`. When there is no `current` the backup is left alone (it may be
// the only copy) and KV_ERR_OBJECT_NOT_FOUND is returned. Otherwise returns
// the code of the read that looked for `current`, of the rename, or of the
// open. At every moment one of the two objects holds what `current` held.
int32_t backupHsmObject(const std::string& host, const std::string& user,
                        const std::string& password, const std::string& current,
                        const std::string& backup);

// The KvListUsers callback: `list` is a std::vector<std::string>*. Ignores
// the call when the list is null, the flag is non-zero or the name is null;
// skips "master" (exact, case-sensitive); appends every other name.
// Returns 0.
extern "C" int32_t collectHsmUser(const char* userName, void* list, int32_t flag);
