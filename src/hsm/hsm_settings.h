// The [hsm] connection settings as each HSM operation keeps them.
//
// Every operation of the synchronization (the update cycle, the addb write,
// the addb read, block/unblock, removal, creation) holds its own copy of
// host, usr and pwd. A copy starts empty, is filled by readHsmSettings on the
// operation's calls (which reads only the values still empty), and keeps a
// value once read for the life of the process: a change of the INI file
// takes effect at the next start of the service.
#pragma once

#include <string>

struct CachedHsmSettings {
  std::string host;
  std::string user;
  std::string password;
};

// The operations that keep a copy of their own.
enum class HsmOperation { UpdateCycle, AddbWrite, AddbRead, SetBlocked, Remove, Create, Count };

// The copy of one operation. Created empty on first use under the thread-safe
// initialisation of function-local statics. Meant for the worker thread.
CachedHsmSettings& cachedHsmSettings(HsmOperation operation);

// Fills the still-empty values of `settings` from section hsm; true when all
// three are non-empty afterwards.
bool refreshHsmSettings(CachedHsmSettings& settings);

// For tests: empties every operation's copy, so that the next call reads the
// INI file again. Call only while no update cycle runs.
void forgetCachedHsmSettingsForTesting();
