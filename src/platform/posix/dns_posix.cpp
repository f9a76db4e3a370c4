// Linux implementation of platform/dns.h: libresolv's res_nquery on a
// resolver state of the call's own, and ns_parserr for the answer.
#include "platform/dns.h"

#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace platform {

namespace {

// Room for the largest answer a TCP retry can bring (a domain with many
// domain controllers does not fit a UDP answer, and the resolver then asks
// again over TCP by itself).
constexpr size_t kAnswerRoom = 65535;

// A resolver state for one lookup, closed when it goes.
struct Resolver {
  struct __res_state state {};
  bool open = false;
  Resolver() { open = res_ninit(&state) == 0; }
  ~Resolver() {
    if (open) res_nclose(&state);
  }
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;
};

void parseAnswer(const unsigned char* message, int length, DnsAnswer& answer) {
  ns_msg parsed;
  if (ns_initparse(message, length, &parsed) != 0) {
    answer.status = DnsStatus::Failed;
    answer.words = "malformed DNS answer";
    return;
  }
  const int count = ns_msg_count(parsed, ns_s_an);
  for (int i = 0; i < count; ++i) {
    ns_rr record;
    if (ns_parserr(&parsed, ns_s_an, i, &record) != 0) continue;
    // A CNAME on the way is followed by the server; only SRV counts.
    if (ns_rr_type(record) != ns_t_srv || ns_rr_rdlen(record) < 7) continue;
    const unsigned char* data = ns_rr_rdata(record);
    ServiceRecord srv;
    srv.priority = ns_get16(data);
    srv.weight = ns_get16(data + 2);
    srv.port = ns_get16(data + 4);
    char target[NS_MAXDNAME];
    if (dn_expand(ns_msg_base(parsed), ns_msg_end(parsed), data + 6, target, sizeof target) < 0) continue;
    srv.target = target;  // dn_expand writes no final dot; the root is "" (RFC 2782's ".")
    answer.records.push_back(std::move(srv));
  }
  answer.status = answer.records.empty() ? DnsStatus::NoRecords : DnsStatus::Found;
}

}  // namespace

bool looksUpServiceRecords() { return true; }

DnsAnswer lookupServiceRecords(const std::string& name, uint32_t timeoutSeconds) {
  DnsAnswer answer;
  Resolver resolver;
  if (!resolver.open) {
    answer.words = "res_ninit failed";
    return answer;
  }
  // One try per server, each a share of the bound: a server that does not
  // answer costs its share and no more, however many the system names.
  const int servers = std::max(resolver.state.nscount, 1);
  resolver.state.retry = 1;
  resolver.state.retrans = std::max<int>(1, static_cast<int>(timeoutSeconds) / servers);
  std::vector<unsigned char> message(kAnswerRoom);
  errno = 0;
  const int length = res_nquery(&resolver.state, name.c_str(), ns_c_in, ns_t_srv, message.data(),
                                static_cast<int>(message.size()));
  const int error = errno;
  if (length >= 0) {
    parseAnswer(message.data(), length, answer);
    return answer;
  }
  // The resolver's own words (hstrerror) follow the process locale; these
  // are the same in every run mode.
  switch (resolver.state.res_h_errno) {
    case HOST_NOT_FOUND:
      answer.status = DnsStatus::NoSuchName;
      answer.words = "NXDOMAIN";
      break;
    case NO_DATA:
      answer.status = DnsStatus::NoRecords;
      answer.words = "no SRV record";
      break;
    case TRY_AGAIN:
      // No answer at all within the bound, a server that refused the query
      // port, or one that said it could not answer (SERVFAIL).
      answer.status = error == ETIMEDOUT ? DnsStatus::TimedOut : DnsStatus::Failed;
      answer.words = error == ETIMEDOUT      ? "timed out"
                     : error == ECONNREFUSED ? "connection refused by every DNS server"
                                             : "SERVFAIL";
      break;
    default:
      answer.status = DnsStatus::Failed;
      answer.words = "non-recoverable DNS error (FORMERR, REFUSED or NOTIMP)";
      break;
  }
  return answer;
}

}  // namespace platform
