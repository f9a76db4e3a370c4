// The directory seam on Windows: COM and ADSI with the LDAP provider.
//
// Every DirectoryRef handed out is a COM interface pointer that holds one
// reference; `release` gives it back. An enumeration element is the dispatch
// pointer taken out of the variant that IEnumVARIANT::Next filled, so
// releasing it is what VariantClear would do; a variant holding anything else
// is cleared at once and yields no element.
#include <windows.h>
// The build defines WIN32_LEAN_AND_MEAN, which leaves OLE out of windows.h.
#include <ole2.h>
#include <oleauto.h>
#include <activeds.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/ldap_path.h"
#include "common/text.h"
#include "platform/directory.h"
#include "platform/win32/directory_adsi_rows.h"

namespace platform {

namespace {

IUnknown* unknown(DirectoryRef ref) { return reinterpret_cast<IUnknown*>(ref); }
DirectoryRef toRef(IUnknown* object) { return reinterpret_cast<DirectoryRef>(object); }
const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// The account of a bind: with no user and no password, none at all, so
// that ADSI binds with the credentials of the thread's own account (the
// service's: LocalSystem as the machine account, a managed service account,
// or whatever account runs the service). Empty strings are not the same
// thing to every provider.
const wchar_t* account(const std::u16string& text, bool ownIdentity) {
  return ownIdentity ? nullptr : wide(text);
}
bool ownIdentity(std::u16string_view user, std::u16string_view password) { return user.empty() && password.empty(); }

int32_t adsiInitialize() { return static_cast<int32_t>(CoInitialize(nullptr)); }
void adsiUninitialize() { CoUninitialize(); }

int32_t adsiOpenObject(const std::u16string& path, const std::u16string& user, const std::u16string& password,
                       DirectoryRef* object) {
  *object = nullptr;
  IADs* bound = nullptr;
  const bool own = ownIdentity(user, password);
  const HRESULT hr = ADsOpenObject(wide(path), account(user, own), account(password, own), ADS_SECURE_AUTHENTICATION,
                                   IID_IADs, reinterpret_cast<void**>(&bound));
  if (FAILED(hr)) return static_cast<int32_t>(hr);
  *object = toRef(bound);
  return static_cast<int32_t>(hr);
}

int32_t adsiGetPath(DirectoryRef object) {
  BSTR path = nullptr;
  const HRESULT hr = reinterpret_cast<IADs*>(object)->get_ADsPath(&path);
  if (path != nullptr) SysFreeString(path);  // only success matters
  return static_cast<int32_t>(hr);
}

int32_t queryInterface(DirectoryRef object, REFIID iid, DirectoryRef* result) {
  *result = nullptr;
  void* pointer = nullptr;
  const HRESULT hr = unknown(object)->QueryInterface(iid, &pointer);
  if (FAILED(hr)) return static_cast<int32_t>(hr);
  *result = reinterpret_cast<DirectoryRef>(pointer);
  return static_cast<int32_t>(hr);
}

int32_t adsiQueryGroup(DirectoryRef object, DirectoryRef* group) { return queryInterface(object, IID_IADsGroup, group); }

int32_t adsiMembers(DirectoryRef group, DirectoryRef* members) {
  *members = nullptr;
  IADsMembers* collection = nullptr;
  const HRESULT hr = reinterpret_cast<IADsGroup*>(group)->Members(&collection);
  if (FAILED(hr)) return static_cast<int32_t>(hr);
  *members = toRef(collection);
  return static_cast<int32_t>(hr);
}

int32_t adsiNewEnum(DirectoryRef members, DirectoryRef* enumerator) {
  *enumerator = nullptr;
  IUnknown* object = nullptr;
  const HRESULT hr = reinterpret_cast<IADsMembers*>(members)->get__NewEnum(&object);
  if (FAILED(hr)) return static_cast<int32_t>(hr);
  *enumerator = toRef(object);
  return static_cast<int32_t>(hr);
}

int32_t adsiQueryEnumVariant(DirectoryRef enumerator, DirectoryRef* variantEnumerator) {
  return queryInterface(enumerator, IID_IEnumVARIANT, variantEnumerator);
}

int32_t adsiNext(DirectoryRef variantEnumerator, DirectoryRef* element, uint32_t* fetched) {
  *element = nullptr;
  VARIANT variant;
  VariantInit(&variant);
  ULONG count = 0;
  const HRESULT hr = reinterpret_cast<IEnumVARIANT*>(variantEnumerator)->Next(1, &variant, &count);
  *fetched = static_cast<uint32_t>(count);
  if (hr == S_OK && count == 1 && V_VT(&variant) == VT_DISPATCH && V_DISPATCH(&variant) != nullptr) {
    *element = toRef(V_DISPATCH(&variant));  // the variant's reference moves to the element
    return static_cast<int32_t>(hr);
  }
  VariantClear(&variant);
  return static_cast<int32_t>(hr);
}

// IADs::Get of one attribute into `result` (which the caller clears).
HRESULT getProperty(IADs* object, const wchar_t* name, VARIANT* result) {
  VariantInit(result);
  BSTR attribute = SysAllocString(name);
  if (attribute == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = object->Get(attribute, result);
  SysFreeString(attribute);
  return hr;
}

// One string attribute; DISP_E_TYPEMISMATCH when it holds several values.
HRESULT getString(IADs* object, const wchar_t* name, std::u16string* value) {
  VARIANT result;
  HRESULT hr = getProperty(object, name, &result);
  if (SUCCEEDED(hr)) {
    if (V_VT(&result) == VT_BSTR) {
      const BSTR text = V_BSTR(&result);
      value->assign(reinterpret_cast<const char16_t*>(text), text != nullptr ? SysStringLen(text) : 0);
    } else {
      hr = DISP_E_TYPEMISMATCH;  // not a single string value
    }
  }
  VariantClear(&result);
  return hr;
}

// ADSI offers no user interface for an entry whose objectClass the account
// may not read, although it may well be a user: only an objectClass that was
// read makes the element "not a user". Otherwise the failure of that read is
// the result, so that the element counts as unreadable.
int32_t adsiQueryUser(DirectoryRef element, DirectoryRef* user) {
  const int32_t code = queryInterface(element, IID_IADsUser, user);
  if (code != kDirectoryNoInterface) return code;
  VARIANT classes;
  HRESULT hr = getProperty(reinterpret_cast<IADs*>(element), L"objectClass", &classes);
  if (SUCCEEDED(hr) && V_VT(&classes) == VT_EMPTY) hr = E_ADS_PROPERTY_NOT_FOUND;
  VariantClear(&classes);
  return FAILED(hr) ? static_cast<int32_t>(hr) : code;
}

int32_t adsiGetAttribute(DirectoryRef user, const std::u16string& name, std::u16string* value) {
  return static_cast<int32_t>(getString(reinterpret_cast<IADs*>(user), wide(name), value));
}

// The DN part of an ADsPath ("LDAP://server/<DN>", where ADSI writes a slash
// of the DN as "\/"); empty when there is none.
std::u16string dnOfPath(std::u16string_view path) {
  LdapPath parts;
  return parseLdapPath(utf16ToUtf8(path), parts) ? utf8ToUtf16(parts.dn) : std::u16string();
}

// The element's distinguishedName as the directory keeps it, or the DN of
// its ADsPath where that attribute cannot be read.
int32_t adsiElementName(DirectoryRef element, std::u16string* name) {
  IADs* object = reinterpret_cast<IADs*>(element);
  HRESULT hr = getString(object, L"distinguishedName", name);
  if (SUCCEEDED(hr)) return static_cast<int32_t>(hr);
  BSTR path = nullptr;
  if (SUCCEEDED(object->get_ADsPath(&path)) && path != nullptr) {
    *name = dnOfPath(std::u16string_view(reinterpret_cast<const char16_t*>(path), SysStringLen(path)));
    if (!name->empty()) hr = S_OK;
  }
  if (path != nullptr) SysFreeString(path);
  return static_cast<int32_t>(hr);
}

// ------------------------------------------------------------------ cross-check

// A bound on each answer of the memberOf search, so that a directory that
// stops answering cannot hold the worker; and Active Directory's MaxPageSize.
constexpr int kSearchTimeoutSeconds = 30;
constexpr int kSearchPageSize = 1000;

// The DN lower-cased as Windows lower-cases it: DNs compare without regard
// to case.
std::u16string adsiDnKey(std::u16string_view dn) {
  std::u16string key(dn);
  if (!key.empty()) CharLowerBuffW(reinterpret_cast<wchar_t*>(&key[0]), static_cast<DWORD>(key.size()));
  return key;
}

// The value of a search filter (RFC 4515): *, (, ), \ and NUL escaped.
std::u16string filterValue(std::u16string_view value) {
  std::u16string escaped;
  for (char16_t c : value) {
    switch (c) {
      case u'*': escaped += u"\\2a"; break;
      case u'(': escaped += u"\\28"; break;
      case u')': escaped += u"\\29"; break;
      case u'\\': escaped += u"\\5c"; break;
      case u'\0': escaped += u"\\00"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

// The naming context of the domain that holds `dn`: its trailing run of DC=
// components ("DC=corp,DC=example"); empty when it has none.
std::u16string domainOf(std::u16string_view dn) {
  size_t start = dn.size();
  size_t end = dn.size();  // end of the RDN being looked at
  for (size_t i = dn.size(); i-- > 0;) {
    const bool separator = dn[i] == u',' && (i == 0 || dn[i - 1] != u'\\');
    if (!separator && i != 0) continue;
    const size_t first = separator ? i + 1 : 0;
    std::u16string_view rdn = dn.substr(first, end - first);
    while (!rdn.empty() && rdn.front() == u' ') rdn.remove_prefix(1);
    if (rdn.size() < 3 || (rdn[0] != u'D' && rdn[0] != u'd') || (rdn[1] != u'C' && rdn[1] != u'c') || rdn[2] != u'=') {
      break;
    }
    start = first;
    end = i;
  }
  return std::u16string(dn.substr(start));
}

// A string of a search column, whatever string type the provider gave it.
bool columnText(const ADS_SEARCH_COLUMN& column, std::u16string* text) {
  if (column.dwNumValues == 0 || column.pADsValues == nullptr) return false;
  const ADSVALUE& value = column.pADsValues[0];
  switch (value.dwType) {
    case ADSTYPE_DN_STRING:
    case ADSTYPE_CASE_EXACT_STRING:
    case ADSTYPE_CASE_IGNORE_STRING:
    case ADSTYPE_PRINTABLE_STRING:
      if (value.DNString == nullptr) return false;
      text->assign(reinterpret_cast<const char16_t*>(value.DNString));
      return true;
    default:
      return false;
  }
}

// The name of the search's current row: its distinguishedName, or the DN of
// its ADsPath. Empty when neither can be read.
std::u16string rowName(IDirectorySearch* search, ADS_SEARCH_HANDLE handle) {
  std::u16string name;
  wchar_t* const columns[] = {const_cast<wchar_t*>(L"distinguishedName"), const_cast<wchar_t*>(L"ADsPath")};
  for (wchar_t* column : columns) {
    ADS_SEARCH_COLUMN value;
    if (FAILED(search->GetColumn(handle, column, &value))) continue;
    std::u16string text;
    const bool found = columnText(value, &text);
    search->FreeColumn(&value);
    if (!found) continue;
    name = column == columns[0] ? text : dnOfPath(text);
    if (!name.empty()) break;
  }
  return name;
}

// The calls of the memberOf search's rows on the real IDirectorySearch.
struct SearchInProgress {
  IDirectorySearch* search;
  ADS_SEARCH_HANDLE handle;
};

int32_t searchNextRow(void* context) {
  const auto* running = static_cast<SearchInProgress*>(context);
  return static_cast<int32_t>(running->search->GetNextRow(running->handle));
}

std::u16string searchRowName(void* context) {
  const auto* running = static_cast<SearchInProgress*>(context);
  return rowName(running->search, running->handle);
}

void clearAdsLastError() { ADsSetLastError(ERROR_SUCCESS, nullptr, nullptr); }

int32_t adsLastError(uint32_t* error) {
  DWORD code = ERROR_SUCCESS;
  wchar_t text[128] = {0};
  wchar_t provider[64] = {0};
  const HRESULT hr = ADsGetLastError(&code, text, 128, provider, 64);
  *error = SUCCEEDED(hr) ? code : ERROR_SUCCESS;
  return static_cast<int32_t>(hr);
}

// Searches the group's domain for (memberOf=<group>) with the account, and
// reports every entry found.
int32_t adsiMemberOfEntries(const MemberCrossCheck& check, std::vector<std::u16string>* found) {
  std::u16string group;
  HRESULT hr = getString(reinterpret_cast<IADs*>(check.group), L"distinguishedName", &group);
  if (FAILED(hr)) return static_cast<int32_t>(hr);
  const std::u16string domain = domainOf(group);
  if (domain.empty()) return static_cast<int32_t>(E_ADS_BAD_PATHNAME);

  std::u16string path(check.domainPath);
  path += u'/';
  for (char16_t c : domain) {
    if (c == u'/') path += u'\\';  // a slash ends the DN of an ADsPath unless escaped
    path += c;
  }
  std::u16string user(check.user);
  std::u16string password(check.password);
  IDirectorySearch* search = nullptr;
  const bool own = ownIdentity(user, password);
  hr = ADsOpenObject(wide(path), account(user, own), account(password, own), ADS_SECURE_AUTHENTICATION,
                     IID_IDirectorySearch, reinterpret_cast<void**>(&search));
  SecureZeroMemory(&password[0], password.size() * sizeof(char16_t));
  if (FAILED(hr)) return static_cast<int32_t>(hr);

  ADS_SEARCHPREF_INFO preferences[4];
  preferences[0].dwSearchPref = ADS_SEARCHPREF_SEARCH_SCOPE;
  preferences[0].vValue.dwType = ADSTYPE_INTEGER;
  preferences[0].vValue.Integer = ADS_SCOPE_SUBTREE;
  preferences[1].dwSearchPref = ADS_SEARCHPREF_PAGESIZE;
  preferences[1].vValue.dwType = ADSTYPE_INTEGER;
  preferences[1].vValue.Integer = kSearchPageSize;
  preferences[2].dwSearchPref = ADS_SEARCHPREF_TIMEOUT;
  preferences[2].vValue.dwType = ADSTYPE_INTEGER;
  preferences[2].vValue.Integer = kSearchTimeoutSeconds;
  // The entries of the group's domain are all on this domain controller.
  preferences[3].dwSearchPref = ADS_SEARCHPREF_CHASE_REFERRALS;
  preferences[3].vValue.dwType = ADSTYPE_INTEGER;
  preferences[3].vValue.Integer = ADS_CHASE_REFERRALS_NEVER;
  hr = search->SetSearchPreference(preferences, 4);
  if (hr == S_ADS_ERRORSOCCURRED) hr = E_ADS_BAD_PARAMETER;  // an unpaged search could stop at MaxPageSize

  ADS_SEARCH_HANDLE handle = nullptr;
  if (SUCCEEDED(hr)) {
    std::u16string filter = u"(memberOf=" + filterValue(group) + u")";
    wchar_t* attributes[] = {const_cast<wchar_t*>(L"distinguishedName"), const_cast<wchar_t*>(L"ADsPath")};
    ADsSetLastError(ERROR_SUCCESS, nullptr, nullptr);
    hr = search->ExecuteSearch(const_cast<wchar_t*>(wide(filter)), attributes, 2, &handle);
  }
  if (SUCCEEDED(hr)) {
    SearchInProgress running{search, handle};
    const SearchRows rows{&running, searchNextRow, searchRowName, clearAdsLastError, adsLastError};
    hr = static_cast<HRESULT>(collectMemberOfRows(rows, found));
  }
  if (handle != nullptr) search->CloseSearchHandle(handle);
  search->Release();
  return static_cast<int32_t>(FAILED(hr) ? hr : S_OK);
}

void adsiRelease(DirectoryRef object) {
  if (object != nullptr) unknown(object)->Release();
}

// True when every character fits one byte of the log (Latin-1).
bool fitsLatin1(std::u16string_view text) {
  for (char16_t c : text) {
    if (c > 0xFF) return false;
  }
  return true;
}

// "0x8007052E: <system text>", and the provider's extended error when ADSI
// recorded one for this thread. The system text is asked for in English, the
// only language whose words the log (one byte per character) keeps intact;
// where the system has no English text, or a text holds characters beyond
// Latin-1, the code stands alone.
std::u16string adsiErrorText(int32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(code)));
  std::u16string text(hex, hex + std::char_traits<char>::length(hex));

  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&message),
      0, nullptr);
  if (length > 0 && message != nullptr) {
    std::u16string words(reinterpret_cast<const char16_t*>(message), length);
    while (!words.empty() && (words.back() == u'\r' || words.back() == u'\n' || words.back() == u' ')) words.pop_back();
    if (!words.empty() && fitsLatin1(words)) text += u": " + words;
  }
  if (message != nullptr) LocalFree(message);

  DWORD extended = 0;
  wchar_t buffer[256] = {0};
  wchar_t provider[64] = {0};
  if (SUCCEEDED(ADsGetLastError(&extended, buffer, 256, provider, 64)) && extended != 0 && buffer[0] != 0) {
    const std::u16string_view detail(reinterpret_cast<const char16_t*>(buffer));
    if (fitsLatin1(detail)) {
      text += u"; ";
      text += detail;
    }
  }
  return text;
}

const DirectoryApi adsiApi = {
    adsiInitialize, adsiUninitialize,     adsiOpenObject,      adsiGetPath,   adsiQueryGroup,   adsiMembers,
    adsiNewEnum,    adsiQueryEnumVariant, adsiNext,            adsiQueryUser, adsiGetAttribute, adsiRelease,
    adsiErrorText,  adsiElementName,      adsiMemberOfEntries, nullptr,       adsiDnKey,        nullptr,
};

}  // namespace

static_assert(kAdsNoMoreRows == S_ADS_NOMORE_ROWS && kAdsMoreData == ERROR_MORE_DATA &&
              kAdsNoErrorRecord == E_NOTIMPL);

int32_t collectMemberOfRows(const SearchRows& rows, std::vector<std::u16string>* found) {
  std::vector<std::u16string> names;
  uint32_t waits = 0;  // ends in a row that said the next page is on its way
  for (;;) {
    // An error left on this thread by an earlier call is not this row's.
    rows.clearLastError();
    const int32_t hr = rows.nextRow(rows.context);
    if (hr < 0) return hr;
    if (hr == kAdsNoMoreRows) {
      // The end, unless ADSI is still waiting for the next page. An end
      // with any other error (a time or size limit, a lost connection) is
      // a search cut short, which proves nothing about the group; so is an
      // end whose error could not be read. A system with no error record
      // at all leaves only GetNextRow's word for it.
      uint32_t error = ERROR_SUCCESS;
      const int32_t read = rows.lastError(&error);
      if (read < 0 && read != kAdsNoErrorRecord) return read;
      if (read < 0) error = ERROR_SUCCESS;
      if (error == kAdsMoreData) {
        if (++waits > kMaxMoreDataRetries) return static_cast<int32_t>(HRESULT_FROM_WIN32(ERROR_TIMEOUT));
        continue;
      }
      if (error != ERROR_SUCCESS) return static_cast<int32_t>(HRESULT_FROM_WIN32(error));
      break;
    }
    waits = 0;
    std::u16string name = rows.rowName(rows.context);
    // An entry that cannot be named cannot be matched.
    if (name.empty()) return static_cast<int32_t>(E_ADS_COLUMN_NOT_SET);
    names.push_back(std::move(name));
  }
  found->insert(found->end(), names.begin(), names.end());
  return static_cast<int32_t>(S_OK);
}

const DirectoryApi& platformDirectoryApi() { return adsiApi; }

// ADSI tunes its own ranges, pages and time-outs.
void setDirectoryTuning(const DirectoryTuning&) {}

// ADSI trusts the machine's certificate store and binds as the service's
// own account: it takes no setup.
bool directoryTakesSetup() { return false; }
void setDirectorySetup(const DirectorySetup&) {}
bool readKeytabPrincipal(const std::string&, std::string&, KerberosFailure& failure) {
  failure = KerberosFailure{};
  failure.fault = KerberosFault::NoKeytab;
  return false;
}

}  // namespace platform
