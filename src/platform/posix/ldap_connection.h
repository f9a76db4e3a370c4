// One connection of the Linux directory backend: connect, TLS, bind, each
// blocking call bounded, and the record of this thread's last failure (for
// DirectoryApi::lastFailure). Used by the directory backend's files only.
#pragma once

#include <ldap.h>

#include <cstdint>
#include <string>

#include "common/ldap_path.h"
#include "platform/directory.h"
#include "platform/posix/ldap_watchdog.h"

namespace platform::ldap {

// What the backend was handed, and what a zero of it stands for.
DirectoryTuning& tuning();
DirectorySetup& setup();
uint32_t pageSize();
uint32_t operationTimeout();
// The most one call may take: libldap's own bounds (one network and one
// operation time-out) and a margin, so that where they work theirs is the
// failure reported.
uint32_t callBound();

DirectoryFailure& lastFailure();
// Records that `call` failed so and returns `code`.
int32_t fail(DirectoryCall call, DirectoryFault fault, int32_t code = kDirectoryFail);
// Records libldap's result `rc` with its words and the server's diagnostic
// message, if `ld` holds one; returns the code ADSI gives for it.
int32_t failLdap(LDAP* ld, int rc, DirectoryCall call, DirectoryFault fault = DirectoryFault::Refused);
int32_t failTimedOut(DirectoryCall call);  // cut by the watchdog

// Attribute and class names are ASCII: compared without the locale.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

// Frees the message it holds.
struct LdapMessage {
  LDAPMessage* message = nullptr;
  ~LdapMessage() {
    if (message != nullptr) ldap_msgfree(message);
  }
};

// One authenticated connection, closed when the last object that uses it
// goes. Not movable: libldap's connection callbacks point at it.
struct Session {
  LDAP* ld = nullptr;
  std::string namingContext;  // the domain's, read from the rootDSE when needed
  WatchedSocket socket;
  ldap_conncb callbacks{};
  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
};

// Connects to the host of `path` (LDAPS on port 636, StartTLS otherwise),
// verifies its certificate and binds: simply with `user` and `password`,
// or by SASL GSSAPI as the principal of the keytab when both are empty.
int32_t connectAndBind(const LdapPath& path, const std::u16string& user, const std::u16string& password,
                       Session& session);

// A base search of `dn` within callBound(): libldap's result, LDAP_TIMEOUT
// with `timedOut` set when the watchdog cut it.
int searchBase(Session& session, const std::string& dn, char** attributes, LdapMessage& result, bool& timedOut);

// The rootDSE's defaultNamingContext, else its first namingContexts, into
// the session (left empty when there is none).
int32_t readNamingContext(Session& session);

}  // namespace platform::ldap
