// The log's words for what the directory backend reports of a failure
// (platform::DirectoryFailure): the step, what went wrong, and the
// directory's or Kerberos' own words.
#pragma once

#include <string>

#include "platform/directory.h"

// The text that follows a failed step's message in parentheses, e.g.
// "bind: LDAP 49: Invalid credentials", or the cause after a failed bind as
// the service's own identity.
std::u16string describeDirectoryFailure(const platform::DirectoryFailure& failure);

// Why no ticket could be had from the keytab, naming it with `source` (where
// the keytab was named).
std::string describeKerberosFailure(const platform::KerberosFailure& failure, const std::string& source);
