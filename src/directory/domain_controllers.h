// The domain controllers a group search may read from, in the order it tries
// them: those [activedirectory] host lists, as written, or those DNS names
// for a domain (its SRV records, the site's first, in RFC 2782's order).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/dns.h"

struct DomainController {
  // The bind path of the domain controller itself ("LDAP://" + name); the
  // group's path is this, "/" and the group's DN.
  std::u16string path;
  // How the log, the status file and kelvasync-check name it: the host as
  // written in the INI file, or "target:port" of its SRV record.
  std::string name;
};

struct DomainControllerList {
  std::vector<DomainController> controllers;
  // The domain of a "dns:" value; empty for a list as written.
  std::string domain;
  // The DCs are those DNS named (not the system's locator's choice).
  bool discovered = false;
};

// The bound on each DNS lookup of the discovery.
inline constexpr uint32_t kDnsLookupSeconds = 3;

// Orders SRV records as RFC 2782 says: by ascending priority; within one
// priority, in a weighted random order (a record is drawn next with a
// chance in proportion to its weight; records of weight 0 come first in the
// draw, so that they have a small chance of leading). `random(n)` returns a
// number from 0 to n, both included.
std::vector<platform::ServiceRecord> orderServiceRecords(std::vector<platform::ServiceRecord> records,
                                                         const std::function<uint32_t(uint32_t)>& random);

// The SRV names whose records list the domain controllers of `domain`: the
// site's first when `site` is not empty.
std::vector<std::string> controllerServiceNames(const std::string& domain, const std::string& site);

// The domain controllers of `ldapPath` ("LDAP://" + [activedirectory]
// host, see parseDirectoryHost). A single host keeps `ldapPath` itself as
// its path, so that one domain controller is read exactly as it always was
// (an empty or malformed value included: its first bind then says so). For
// a "dns:<domain>" value, the DCs DNS names, looked up now, each once: the
// site's (when `site` is set), then the domain's, each group in RFC 2782's
// order; where the platform does not look records up (Windows), the domain
// alone, whose DC the system's locator chooses. When no DC was found at
// all, one Atencao line says what each lookup found and the result is
// false; otherwise a lookup that timed out or failed, and a site that names
// no DC, get an Atencao line each.
bool findDomainControllers(const std::u16string& ldapPath, const std::string& site, DomainControllerList& list);
