// The Windows group read against its floor, in one process, through whatever
// ADSI provider is registered as LDAP (under Wine: the test provider; see
// run.sh). The floor makes the ADSI calls the read cannot do without: bind
// the group, walk IADsMembers with IEnumVARIANT::Next, read each member's
// distinguishedName, objectClass, cn and sAMAccountName, then the memberOf
// search of the group's domain with the service's preferences. The read is
// the service's own searchGroupMembers with COM held as the worker thread
// holds it, once in service mode and once in console mode (whose member
// lines go to the log file and to standard output, which run.sh sends to a
// file). Results go to standard error.
//
//   group_read_bench <host:port> <account DN> <password> <group DN> [rounds]
//   group_read_bench <host:port> <account DN> <password> <group DN> memory <reads> [floor|reload]
//
// Rounds (3): each runs the floor and both reads; a line per run gives the
// time of each step (per member for the member steps; "other" is the time
// outside ADSI calls), and the end the best times and the median of the
// rounds' ratios. "memory" runs the read (or the floor) that many times and
// prints the process's working set and heap bytes every tenth of them;
// "reload" without COM held between reads.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <activeds.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "runtime/process_state.h"
#include "common/text.h"
#include "config/config.h"
#include "directory/group_search.h"
#include "platform/directory.h"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds spent in each step, summed over a read.
enum Step { kBind, kNext, kName, kUser, kCommonName, kLogon, kRelease, kSearch, kSteps };
constexpr const char* kStepNames[kSteps] = {"bind+enum", "Next",    "dn",      "user/class",
                                            "cn",        "logon",   "release", "memberOf"};
double spent[kSteps];

template <typename Call>
auto timed(Step step, Call call) {
  const auto start = Clock::now();
  auto result = call();
  spent[step] += std::chrono::duration<double>(Clock::now() - start).count();
  return result;
}

// ------------------------------------------------------------------ the floor

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// One string attribute through IADs::Get; false when it cannot be read.
bool getText(IADs* object, const wchar_t* name) {
  VARIANT value;
  VariantInit(&value);
  BSTR attribute = SysAllocString(name);
  const HRESULT hr = object->Get(attribute, &value);
  SysFreeString(attribute);
  VariantClear(&value);
  return SUCCEEDED(hr);
}

// Returns the members read (users with a logon), or -1 on failure.
long floorRead(const std::wstring& host, const std::wstring& user, const std::wstring& password,
               const std::wstring& group, const std::wstring& domain) {
  CoInitialize(nullptr);
  long users = -1;
  IADsGroup* bound = nullptr;
  IADsMembers* members = nullptr;
  IUnknown* enumerator = nullptr;
  IEnumVARIANT* elements = nullptr;
  HRESULT hr = timed(kBind, [&] {
    HRESULT r = ADsOpenObject((L"LDAP://" + host + L"/" + group).c_str(), user.c_str(), password.c_str(),
                              ADS_SECURE_AUTHENTICATION, IID_IADsGroup, reinterpret_cast<void**>(&bound));
    if (SUCCEEDED(r)) r = bound->Members(&members);
    if (SUCCEEDED(r)) r = members->get__NewEnum(&enumerator);
    if (SUCCEEDED(r)) r = enumerator->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&elements));
    return r;
  });
  if (SUCCEEDED(hr)) users = 0;
  while (SUCCEEDED(hr)) {
    VARIANT element;
    VariantInit(&element);
    ULONG fetched = 0;
    hr = timed(kNext, [&] { return elements->Next(1, &element, &fetched); });
    if (hr != S_OK || fetched != 1) break;
    IADs* entry = nullptr;
    if (V_VT(&element) == VT_DISPATCH &&
        SUCCEEDED(V_DISPATCH(&element)->QueryInterface(IID_IADs, reinterpret_cast<void**>(&entry)))) {
      timed(kName, [&] { return getText(entry, L"distinguishedName"); });
      timed(kUser, [&] { return getText(entry, L"objectClass"); });
      timed(kCommonName, [&] { return getText(entry, L"cn"); });
      if (timed(kLogon, [&] { return getText(entry, L"sAMAccountName"); })) ++users;
      timed(kRelease, [&] { return entry->Release(); });
    }
    timed(kRelease, [&] { return VariantClear(&element); });
  }
  if (FAILED(hr)) users = -1;
  for (IUnknown* object : {static_cast<IUnknown*>(elements), enumerator, static_cast<IUnknown*>(members),
                           static_cast<IUnknown*>(bound)}) {
    if (object != nullptr) object->Release();
  }

  // The memberOf search, as the service asks for it.
  timed(kSearch, [&] {
    IDirectorySearch* search = nullptr;
    HRESULT r = ADsOpenObject((L"LDAP://" + host + L"/" + domain).c_str(), user.c_str(), password.c_str(),
                              ADS_SECURE_AUTHENTICATION, IID_IDirectorySearch, reinterpret_cast<void**>(&search));
    if (FAILED(r)) return r;
    ADS_SEARCHPREF_INFO preferences[4];
    const ADS_SEARCHPREF kinds[4] = {ADS_SEARCHPREF_SEARCH_SCOPE, ADS_SEARCHPREF_PAGESIZE, ADS_SEARCHPREF_TIMEOUT,
                                     ADS_SEARCHPREF_CHASE_REFERRALS};
    const int values[4] = {ADS_SCOPE_SUBTREE, 1000, 30, ADS_CHASE_REFERRALS_NEVER};
    for (int i = 0; i < 4; ++i) {
      preferences[i].dwSearchPref = kinds[i];
      preferences[i].vValue.dwType = ADSTYPE_INTEGER;
      preferences[i].vValue.Integer = values[i];
    }
    search->SetSearchPreference(preferences, 4);
    const std::wstring filter = L"(memberOf=" + group + L")";
    wchar_t* attributes[] = {const_cast<wchar_t*>(L"distinguishedName"), const_cast<wchar_t*>(L"ADsPath")};
    ADS_SEARCH_HANDLE handle = nullptr;
    r = search->ExecuteSearch(const_cast<wchar_t*>(filter.c_str()), attributes, 2, &handle);
    while (SUCCEEDED(r) && (r = search->GetNextRow(handle)) == S_OK) {
      ADS_SEARCH_COLUMN column;
      if (SUCCEEDED(search->GetColumn(handle, attributes[0], &column))) search->FreeColumn(&column);
    }
    if (handle != nullptr) search->CloseSearchHandle(handle);
    search->Release();
    return r;
  });
  CoUninitialize();
  return users;
}

// ------------------------------------------------------------------ the read, with its ADSI calls timed

const platform::DirectoryApi* adsi = nullptr;

int32_t timedOpen(const std::u16string& path, const std::u16string& user, const std::u16string& password,
                  platform::DirectoryRef* object) {
  return timed(kBind, [&] { return adsi->openObject(path, user, password, object); });
}
int32_t timedNext(platform::DirectoryRef enumerator, platform::DirectoryRef* element, uint32_t* fetched) {
  return timed(kNext, [&] { return adsi->next(enumerator, element, fetched); });
}
int32_t timedUser(platform::DirectoryRef element, platform::DirectoryRef* user) {
  return timed(kUser, [&] { return adsi->queryUser(element, user); });
}
int32_t timedAttribute(platform::DirectoryRef user, const std::u16string& name, std::u16string* value) {
  return timed(name == u"cn" ? kCommonName : kLogon, [&] { return adsi->getAttribute(user, name, value); });
}
int32_t timedName(platform::DirectoryRef element, std::u16string* name) {
  return timed(kName, [&] { return adsi->elementName(element, name); });
}
void timedRelease(platform::DirectoryRef object) {
  timed(kRelease, [&] { return adsi->release(object), 0; });
}
int32_t timedMemberOf(const platform::MemberCrossCheck& check, std::vector<std::u16string>* found) {
  return timed(kSearch, [&] { return adsi->memberOfEntries(check, found); });
}

// The group's domain: its DN from the first DC= component on.
std::wstring domainOf(const std::string& group) {
  std::wstring lower = wide(group);
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  const size_t dc = lower.find(L"dc=");
  return dc == std::wstring::npos ? L"" : wide(group).substr(dc);
}

long serviceRead() {
  MemberList members;
  return searchGroupMembers(members) ? static_cast<long>(members.size()) : -1;
}

size_t workingSetKb() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.WorkingSetSize / 1024;
}

// Bytes in use in every heap of the process.
size_t heapBytes() {
  size_t bytes = 0;
  HANDLE heaps[64];
  const DWORD count = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
  for (DWORD h = 0; h < count; ++h) {
    PROCESS_HEAP_ENTRY entry{};
    HeapLock(heaps[h]);
    while (HeapWalk(heaps[h], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) bytes += entry.cbData;
    }
    HeapUnlock(heaps[h]);
  }
  return bytes;
}

struct Round {
  double total = 0;
  double steps[kSteps] = {};
};

template <typename Read>
Round measure(Read read, long* count) {
  std::fill(std::begin(spent), std::end(spent), 0.0);
  const auto start = Clock::now();
  *count = read();
  Round round;
  round.total = std::chrono::duration<double>(Clock::now() - start).count();
  std::copy(std::begin(spent), std::end(spent), round.steps);
  return round;
}

void printRound(const char* who, const Round& round, long members) {
  double inSteps = 0;
  std::fprintf(stderr, "%-8s %8.2f s", who, round.total);
  for (int step = 0; step < kSteps; ++step) {
    inSteps += round.steps[step];
    const bool perMember = step != kBind && step != kSearch;
    std::fprintf(stderr, perMember ? "  %6.0f" : "  %6.2f", perMember ? 1e6 * round.steps[step] / members : round.steps[step]);
  }
  std::fprintf(stderr, "  %6.0f\n", 1e6 * (round.total - inSteps) / members);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: %s <host:port> <account DN> <password> <group DN> [rounds | memory <reads> [floor|reload]]\n",
                 argv[0]);
    return 2;
  }
  const std::string host = argv[1], account = argv[2], password = argv[3], group = argv[4];
  const bool memory = argc > 6 && std::string(argv[5]) == "memory";
  const std::string memoryOf = memory && argc > 7 ? argv[7] : "";
  const int rounds = memory ? std::max(1, std::atoi(argv[6])) : argc > 5 ? std::max(1, std::atoi(argv[5])) : 3;

  // The log goes to a folder of this run's own.
  wchar_t temporary[MAX_PATH];
  GetTempPathW(MAX_PATH, temporary);
  const std::wstring root = std::wstring(temporary) + L"kv-group-read-bench";
  for (const wchar_t* tail : {L"", L"\\Karvell Networks", L"\\Karvell Networks\\HSM Karvell",
                              L"\\Karvell Networks\\HSM Karvell\\data"}) {
    CreateDirectoryW((root + tail).c_str(), nullptr);
  }
  programFilesDir.assign(root.begin(), root.end());
  serviceMode = true;
  directorySettings.ldapPath = asciiToUtf16("LDAP://" + host);
  directorySettings.adUser = asciiToUtf16(account);
  directorySettings.adPassword = asciiToUtf16(password);
  directorySettings.groupName = group;

  adsi = &platform::platformDirectoryApi();
  platform::DirectoryApi timedApi = *adsi;
  timedApi.openObject = timedOpen;
  timedApi.next = timedNext;
  timedApi.queryUser = timedUser;
  timedApi.getAttribute = timedAttribute;
  timedApi.elementName = timedName;
  timedApi.release = timedRelease;
  timedApi.memberOfEntries = timedMemberOf;
  setDirectoryApiForTesting(&timedApi);
  const std::wstring domain = domainOf(group);

  if (memory) {
    // As the worker thread keeps it; "reload" reads as a thread without it
    // would, loading and unloading the provider with each read.
    std::optional<DirectoryThreadScope> runtime;
    if (memoryOf != "reload") runtime.emplace();
    for (int i = 1; i <= rounds; ++i) {
      const long read = memoryOf == "floor"
                            ? floorRead(wide(host), wide(account), wide(password), wide(group), domain)
                            : serviceRead();
      if (read < 0) return std::fprintf(stderr, "read %d failed\n", i), 1;
      if (i % std::max(1, rounds / 10) == 0) {
        std::fprintf(stderr, "reads %5d  working set %7zu KB  heaps %7zu KB\n", i, workingSetKb(),
                     heapBytes() / 1024);
      }
    }
    return 0;
  }

  const DirectoryThreadScope runtime;
  std::fprintf(stderr, "%-8s %10s", "", "total");
  for (const char* name : kStepNames) std::fprintf(stderr, "  %6s", name);
  std::fprintf(stderr, "  %6s\n%-8s %10s", "other", "", "");
  for (int step = 0; step < kSteps; ++step) {
    std::fprintf(stderr, "  %6s", step == kBind || step == kSearch ? "s" : "us/mbr");
  }
  std::fprintf(stderr, "  %6s\n", "us/mbr");

  // Each round: the floor, the read as the service makes it, and the read
  // of a console run, whose member lines each cost a flushed write to the
  // log file.
  constexpr int kKinds = 3;
  const char* const kKindNames[kKinds] = {"floor", "read", "console"};
  Round best[kKinds];
  for (Round& round : best) round.total = 1e9;
  std::vector<double> ratios[kKinds];
  long count[kKinds] = {};
  for (int round = 0; round < rounds; ++round) {
    Round measured[kKinds];
    for (int kind = 0; kind < kKinds; ++kind) {
      serviceMode = kind != 2;
      measured[kind] =
          kind == 0
              ? measure([&] { return floorRead(wide(host), wide(account), wide(password), wide(group), domain); },
                        &count[kind])
              : measure(serviceRead, &count[kind]);
      if (count[kind] <= 0 || count[kind] != count[0]) {
        std::fprintf(stderr, "the floor read %ld members, the %s %ld\n", count[0], kKindNames[kind], count[kind]);
        return 1;
      }
      printRound(kKindNames[kind], measured[kind], count[kind]);
      if (measured[kind].total < best[kind].total) best[kind] = measured[kind];
      ratios[kind].push_back(measured[kind].total / measured[0].total);
    }
  }
  for (std::vector<double>& list : ratios) std::sort(list.begin(), list.end());
  std::fprintf(stderr, "%ld members, best of %d: floor %.2f s, read %.2f s, console read %.2f s\n", count[0], rounds,
               best[0].total, best[1].total, best[2].total);
  std::fprintf(stderr, "read/floor %.2f, console read/floor %.2f (medians of the rounds)\n",
               ratios[1][ratios[1].size() / 2], ratios[2][ratios[2].size() / 2]);
  return 0;
}
