// Windows implementation of platform/dns.h: nothing is looked up. A domain
// given for discovery becomes ADSI's serverless path, whose domain
// controller the system's DC locator chooses (site, health and failover
// included), as every other directory tool on Windows does.
#include "platform/dns.h"

namespace platform {

bool looksUpServiceRecords() { return false; }

DnsAnswer lookupServiceRecords(const std::string&, uint32_t) {
  DnsAnswer answer;
  answer.status = DnsStatus::Failed;
  answer.words = "not looked up on Windows";
  return answer;
}

}  // namespace platform
