#include "directory/domain_controllers.h"

#include <algorithm>
#include <random>
#include <utility>

#include "common/text.h"
#include "config/config.h"
#include "logging/log.h"

namespace {

using platform::DnsAnswer;
using platform::DnsStatus;
using platform::ServiceRecord;

constexpr std::u16string_view kScheme = u"LDAP://";

// The host value that follows "LDAP://" (any case) into `value`; false when
// the path has no such scheme.
bool hostValueOf(const std::u16string& ldapPath, std::string& value) {
  if (ldapPath.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    char16_t c = ldapPath[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != kScheme[i]) return false;
  }
  value = narrowText(ldapPath.substr(kScheme.size()));
  return true;
}

bool sameName(std::string a, std::string b) {
  lowerCaseAscii(a);
  lowerCaseAscii(b);
  return a == b;
}

uint32_t randomUpTo(uint32_t bound) {
  thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<uint32_t>(0, bound)(generator);
}

// What a lookup that found nothing found, in the log's words.
std::string lookupProblem(const DnsAnswer& answer) {
  switch (answer.status) {
    case DnsStatus::NoSuchName: return "o nome nao existe no DNS";
    case DnsStatus::NoRecords: return "nenhum registro SRV";
    case DnsStatus::TimedOut:
      return "nenhum servidor DNS respondeu em " + std::to_string(kDnsLookupSeconds) + " s";
    case DnsStatus::Found: return "nenhum DC disponivel (alvo \".\")";
    case DnsStatus::Failed: break;
  }
  return "o DNS falhou: " + answer.words;
}

}  // namespace

std::vector<ServiceRecord> orderServiceRecords(std::vector<ServiceRecord> records,
                                               const std::function<uint32_t(uint32_t)>& random) {
  std::stable_sort(records.begin(), records.end(),
                   [](const ServiceRecord& a, const ServiceRecord& b) { return a.priority < b.priority; });
  std::vector<ServiceRecord> ordered;
  ordered.reserve(records.size());
  for (size_t start = 0; start < records.size();) {
    size_t end = start;
    while (end < records.size() && records[end].priority == records[start].priority) ++end;
    std::vector<ServiceRecord> left(records.begin() + static_cast<std::ptrdiff_t>(start),
                                    records.begin() + static_cast<std::ptrdiff_t>(end));
    std::stable_partition(left.begin(), left.end(), [](const ServiceRecord& r) { return r.weight == 0; });
    while (!left.empty()) {
      uint32_t sum = 0;
      for (const ServiceRecord& r : left) sum += r.weight;
      const uint32_t drawn = random(sum);
      uint32_t running = 0;
      size_t chosen = left.size() - 1;
      for (size_t i = 0; i < left.size(); ++i) {
        running += left[i].weight;
        if (running >= drawn) {
          chosen = i;
          break;
        }
      }
      ordered.push_back(std::move(left[chosen]));
      left.erase(left.begin() + static_cast<std::ptrdiff_t>(chosen));
    }
    start = end;
  }
  return ordered;
}

std::vector<std::string> controllerServiceNames(const std::string& domain, const std::string& site) {
  std::vector<std::string> names;
  if (!site.empty()) names.push_back("_ldap._tcp." + site + "._sites.dc._msdcs." + domain);
  names.push_back("_ldap._tcp.dc._msdcs." + domain);
  return names;
}

bool findDomainControllers(const std::u16string& ldapPath, const std::string& site, DomainControllerList& list) {
  list = DomainControllerList{};
  std::string value;
  const DirectoryHostValue host = hostValueOf(ldapPath, value) ? parseDirectoryHost(value) : DirectoryHostValue{};
  if (host.discoveryDomain.empty()) {
    if (host.hosts.size() <= 1) {
      list.controllers.push_back({ldapPath, host.hosts.empty() ? value : host.hosts.front()});
      return true;
    }
    for (const std::string& name : host.hosts) list.controllers.push_back({u"LDAP://" + widenText(name), name});
    return true;
  }

  list.domain = host.discoveryDomain;
  if (!platform::looksUpServiceRecords()) {
    // ADSI's serverless binding: the system's DC locator picks the domain
    // controller of the computer's own site and fails over by itself.
    list.controllers.push_back({u"LDAP://" + widenText(list.domain), list.domain});
    return true;
  }
  // What each name that found no DC found instead; said once the lookups
  // are over, so that a cycle names a DNS that does not answer, or a site
  // that names no DC, even when the other name finds DCs (each cycle pays
  // for it).
  std::vector<std::pair<const DnsAnswer*, std::string>> problems;
  std::vector<DnsAnswer> answers;
  const std::vector<std::string> names = controllerServiceNames(list.domain, site);
  answers.reserve(names.size());
  for (const std::string& name : names) {
    answers.push_back(platform::lookupServiceRecords(name, kDnsLookupSeconds));
    const DnsAnswer& answer = answers.back();
    size_t added = 0;
    for (ServiceRecord& record : orderServiceRecords(answer.records, randomUpTo)) {
      if (record.target.empty()) continue;  // "." : no such service at this name
      const std::string dc = record.target + ":" + std::to_string(record.port);
      const bool listed = std::any_of(list.controllers.begin(), list.controllers.end(),
                                      [&](const DomainController& c) { return sameName(c.name, dc); });
      if (listed) continue;
      list.controllers.push_back({u"LDAP://" + widenText(dc), dc});
      ++added;
    }
    if (added == 0) problems.emplace_back(&answer, name + ": " + lookupProblem(answer));
  }
  list.discovered = true;
  if (list.controllers.empty()) {
    std::string joined;
    for (const auto& problem : problems) joined += (joined.empty() ? "" : "; ") + problem.second;
    writeLog(Warning,
             u"Nao foi possivel conectar no Controlador de Dominio (DC): nenhum DC de %s encontrado no DNS (%s)",
             widenText(list.domain), widenText(joined));
    return false;
  }
  for (const auto& [answer, problem] : problems) {
    if (answer->status == DnsStatus::TimedOut || answer->status == DnsStatus::Failed) {
      writeLog(Warning, u"A consulta DNS dos Controladores de Dominio (DC) de %s falhou (%s)", widenText(list.domain),
               widenText(problem));
    } else if (answer == &answers.front() && !site.empty()) {
      writeLog(Warning, u"O site %s nao tem Controlador de Dominio (DC) no DNS (%s); confira [activedirectory] site",
               widenText(site), widenText(problem));
    }
  }
  return true;
}
