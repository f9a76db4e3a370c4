// Range retrieval of `member`, as Active Directory serves it: an entry with
// more values than MaxValRange (1,500 by default) answers "member" with the
// first range only, named "member;range=0-1499", and the rest is asked for
// as "member;range=1500-*" and so on until a range ends in "*".
// IADsGroup::Members hides this on Windows; the test provider does the same
// here. Header-only, so that adsi_provider_test.cpp can drive the loop with
// a fake server.
#ifndef KVTEST_MEMBER_RANGES_H
#define KVTEST_MEMBER_RANGES_H

#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

namespace kvtest {

// Attribute descriptions, lower-cased, with their values in server order.
using Attributes = std::map<std::wstring, std::vector<std::wstring>>;

// An answer that names a range other than the one asked for, or none.
constexpr HRESULT kBadRange = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

// The range of a lower-cased description "member;range=low-high"; high is -1
// for "*". False when the description is not a range of member.
inline bool parseMemberRange(const std::wstring& description, long long& low, long long& high) {
  static const std::wstring prefix = L"member;range=";
  if (description.compare(0, prefix.size(), prefix) != 0) return false;
  const std::wstring range = description.substr(prefix.size());
  const size_t dash = range.find(L'-');
  if (dash == 0 || dash == std::wstring::npos || !std::iswdigit(range[0])) return false;
  wchar_t* end = nullptr;
  low = std::wcstoll(range.c_str(), &end, 10);
  if (end != range.c_str() + dash) return false;
  const std::wstring upper = range.substr(dash + 1);
  if (upper == L"*") {
    high = -1;
    return true;
  }
  if (upper.empty() || !std::iswdigit(upper[0])) return false;
  high = std::wcstoll(upper.c_str(), &end, 10);
  return *end == L'\0' && high >= low;
}

// Turns the ranged `member` of a first answer into the whole attribute under
// "member". `fetch(low, answer)` asks the server for "member;range=low-*"
// of the same entry and fills `answer` with what came back (an HRESULT).
// Every further answer must name a range that starts at `low`; anything
// else fails the read, so that a group is never taken for smaller than it
// is (nor read for ever from a server that repeats itself).
template <typename Fetch>
HRESULT completeMemberRanges(Attributes& attributes, Fetch fetch) {
  long long next = -1;
  for (auto it = attributes.begin(); it != attributes.end();) {
    long long low = 0, high = 0;
    if (!parseMemberRange(it->first, low, high)) {
      ++it;
      continue;
    }
    if (low != 0 || next != -1) return kBadRange;  // one range, the first, per answer
    next = high < 0 ? -1 : high + 1;
    attributes[L"member"] = std::move(it->second);
    it = attributes.erase(it);
    if (next < 0) break;
  }
  std::vector<std::wstring>& members = attributes[L"member"];
  if (members.empty() && next < 0) attributes.erase(L"member");
  while (next >= 0) {
    Attributes answer;
    const HRESULT hr = fetch(next, answer);
    if (FAILED(hr)) return hr;
    bool found = false;
    for (auto& [description, values] : answer) {
      long long low = 0, high = 0;
      if (!parseMemberRange(description, low, high) || low != next) continue;
      for (std::wstring& value : values) members.push_back(std::move(value));
      next = high < 0 ? -1 : high + 1;
      found = true;
      break;
    }
    if (!found) return kBadRange;
  }
  return S_OK;
}

}  // namespace kvtest

#endif  // KVTEST_MEMBER_RANGES_H
