// Feeds arbitrary text to the LDAP path parser. Whatever it accepts has a
// host and a port from 1 to 65535, and written out again (the host as the
// INI file writes it, each '/' of the DN escaped as ADSI does) parses to the
// same parts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/host_port.h"
#include "common/ldap_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LdapPath parts;
  if (!parseLdapPath(std::string_view(reinterpret_cast<const char*>(data), size), parts)) return 0;
  if (parts.host.empty() || parts.port == 0) std::abort();
  std::string again = "LDAP://" + formatHostPort(parts.host, parts.port) + "/";
  for (char c : parts.dn) again += c == '/' ? std::string("\\/") : std::string(1, c);
  LdapPath reparsed;
  if (!parseLdapPath(again, reparsed) || reparsed.host != parts.host || reparsed.port != parts.port ||
      reparsed.dn != parts.dn) {
    std::abort();
  }
  return 0;
}
