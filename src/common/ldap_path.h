// Directory paths in ADSI's form, "LDAP://host[:port][/DN]", taken apart:
// the one parser for the service's own paths, the backends' and the
// element paths ADSI hands back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct LdapPath {
  std::string host;        // a name or an address; an IPv6 address without its brackets
  uint16_t port = 389;     // 389 when the path names none
  bool portGiven = false;  // whether the path names a port
  std::string dn;          // what follows the first '/', with each "\/" made '/'; empty when nothing does
};

// Splits `path`. The scheme "LDAP://" is matched without regard to case; the
// host part ends at the first '/' and follows splitHostPort's rules ("name",
// "name:port", "[IPv6]:port", a bare IPv6 address; a port of digits only,
// 1 to 65535). False, with `parts` unspecified, for any other scheme, an
// empty host, a bracket left in the host, or a port that breaks those rules.
bool parseLdapPath(std::string_view path, LdapPath& parts);
