// Kerberos credentials for the LDAP backend's GSSAPI bind (Linux): a
// ticket-granting ticket obtained from the client keytab into a MEMORY:
// credential cache of the process, which the GSSAPI bind on the same thread
// then uses. Used by directory_ldap.cpp only.
#pragma once

#include <string>

namespace platform {

// Obtains a fresh ticket-granting ticket for the principal of
// directoryKeytab() and makes the MEMORY: cache the calling thread's
// GSSAPI default. Every call starts anew, so that a keytab replaced after a
// password change is used at the next bind. False with `problem` naming the
// cause in the log's words: the keytab missing or unreadable, keys that do
// not match the account's, clock skew, a principal the KDC does not know, no
// KDC reachable. Does not block beyond the library's own KDC time-outs.
bool acquireKerberosCredentials(std::string& problem);

}  // namespace platform
