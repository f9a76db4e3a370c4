// Platform seam: the DNS service (SRV) records of a name, as the system's
// resolver finds them, for the discovery of the domain controllers.
//
// On Linux the lookup goes through libresolv (res_nquery) with the resolver
// of /etc/resolv.conf and a bounded time. On Windows the system's DC locator
// chooses the domain controller (ADSI's serverless binding), so nothing
// looks records up and the lookup reports Failed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One SRV record (RFC 2782): the target host, without the root's final dot.
struct ServiceRecord {
  uint16_t priority = 0;
  uint16_t weight = 0;
  uint16_t port = 0;
  std::string target;
};

enum class DnsStatus : uint8_t {
  Found,       // the name has SRV records: `records`
  NoSuchName,  // the DNS says the name does not exist (NXDOMAIN)
  NoRecords,   // the name exists, with no SRV record
  TimedOut,    // no DNS server answered within the bound
  Failed,      // any other failure: `words` says what the resolver says
};

struct DnsAnswer {
  DnsStatus status = DnsStatus::Failed;
  std::vector<ServiceRecord> records;  // as the answer lists them
  std::string words;                   // what the resolver reported, in a few English words (ASCII)
};

// Whether the platform looks SRV records up itself (Linux); false where the
// system locates the domain controller for the directory calls (Windows).
bool looksUpServiceRecords();

// The SRV records of `name` (a fully qualified name, no search list),
// within about `timeoutSeconds` whatever the number of DNS servers the
// system names. Callable from any thread.
DnsAnswer lookupServiceRecords(const std::string& name, uint32_t timeoutSeconds);

}  // namespace platform
