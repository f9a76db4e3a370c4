// Kerberos credentials for the LDAP backend's GSSAPI bind (Linux): a
// ticket-granting ticket obtained from the client keytab into a MEMORY:
// credential cache of the process, which the GSSAPI bind on the same thread
// then uses. Used by directory_ldap.cpp only.
#pragma once

#include <gssapi/gssapi.h>

#include <string>

namespace platform {

// The GSSAPI credential over the MEMORY: cache, for one bind: handed to the
// SASL GSSAPI mechanism (which, left to acquire one itself, never gives it
// back) and released when this goes.
class KerberosCredential {
 public:
  KerberosCredential() = default;
  ~KerberosCredential();
  KerberosCredential(const KerberosCredential&) = delete;
  KerberosCredential& operator=(const KerberosCredential&) = delete;
  gss_cred_id_t get() const { return credential_; }

 private:
  friend bool acquireKerberosCredentials(KerberosCredential& credential, std::string& problem);
  gss_cred_id_t credential_ = GSS_C_NO_CREDENTIAL;
};

// Obtains a fresh ticket-granting ticket for the principal of
// directoryKeytab() into the MEMORY: cache, makes that cache the calling
// thread's GSSAPI default and sets `credential` over it. Every call starts
// anew, so that a keytab replaced after a password change is used at the
// next bind. False with `problem` naming the cause in the log's words: the
// keytab missing or unreadable, keys that do not match the account's, clock
// skew, a principal the KDC does not know, no KDC reachable. Does not block
// beyond the library's own KDC time-outs.
bool acquireKerberosCredentials(KerberosCredential& credential, std::string& problem);

}  // namespace platform
