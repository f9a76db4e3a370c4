// A test ADSI provider for the "LDAP:" namespace, for Wine prefixes only.
//
// Wine's ADsOpenObject finds the provider of a path's prefix under
// HKLM\Software\Microsoft\ADs\Providers\<prefix> (default value: a ProgID),
// creates that class and calls IADsOpenDSObject::OpenDSObject. Registered
// there (regsvr32) in a test prefix, this in-process server lets the
// unmodified kelvasync.exe read a group: it binds to the directory with the
// account given (with none, as the entry KVTEST_SERVICE_ACCOUNT names with
// KVTEST_SERVICE_PASSWORD, standing for the process's own account, and not
// at all when those are unset), through Wine's own wldap32, and serves:
//
//   IADsOpenDSObject::OpenDSObject  "LDAP://host[:port]" (the rootDSE) or
//                                   "LDAP://host[:port]/<DN>" (one entry)
//   IADs        get_ADsPath, Get/GetEx (any attribute the account can read,
//               and distinguishedName as the server spells the DN),
//               get_Name, get_Class, get_Parent, GetInfo
//   IADsGroup   Members, IsMember, get_Description (entries of class group)
//   IADsUser    its string properties (entries of class user; an entry
//               whose objectClass the account may not read offers no
//               IADsUser, as ADSI, and its Get("objectClass") fails)
//   IDirectorySearch  on every bound object: SetSearchPreference (scope,
//               page size, time-out), ExecuteSearch (paged with the paged
//               results control when a page size is set), GetNextRow,
//               GetColumn (any attribute asked for, plus distinguishedName
//               and ADsPath), FreeColumn, AbandonSearch, CloseSearchHandle
//   IADsMembers get_Count, get__NewEnum
//   IEnumVARIANT Next, Skip, Reset, Clone; each element is the member's
//               entry as a dispatch pointer, or VT_EMPTY when the account
//               cannot read that entry
//
// with the HRESULTs ADSI gives: bad credentials 0x8007052E, server down
// 0x8007203A, no such object 0x80072030, no group or user interface
// E_NOINTERFACE, attribute not set 0x8000500D (E_ADS_PROPERTY_NOT_FOUND),
// column not set 0x80005010, end of a search S_ADS_NOMORE_ROWS.
// The provider is read-only: every setter answers E_NOTIMPL.
//
// Transport: KVTEST_LDAP_TRANSPORT = "starttls" (also when unset), "plain" or
// "ldaps"; a path that names port 636 always gets LDAPS. Any other value
// fails every bind (0x80070057), so a misspelt name cannot pick a transport
// silently. Wine's wldap32 never delivers an answer that spans more than one
// TLS record, so a large group is read over "plain" on loopback; on Windows
// the system's own ADSI does the transport, which this provider does not
// stand for. Every answer is awaited for at most KVTEST_LDAP_TIMEOUT seconds
// (30 unless set) and abandoned after that: wldap32 ignores the time limit
// of its synchronous searches. StartTLS (the extended request and the TLS
// handshake) has no asynchronous form and no time-out in wldap32: it runs on
// a thread of its own and is awaited for as long, after which the bind fails
// with 0x800705B4 (HRESULT_FROM_WIN32(ERROR_TIMEOUT)) and the connection is
// left to that thread, which frees it once the call returns. `member` is
// read by range retrieval (member_ranges.h), as IADsGroup::Members does on
// Windows beyond 1,500 values.
//
// Every COM object, LDAP connection, search handle and search column is
// counted while it lives. When
// the DLL is unloaded (or the process ends) one line is appended to
// "<this DLL's path>.objects.log": "binds=N live=0", or with live above zero
// the count of each kind still alive, so a test can fail on a leak.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <activeds.h>
#include <winldap.h>
// After winldap.h, which defines what it declares.
#include <winber.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "member_ranges.h"

namespace {

HMODULE thisModule = nullptr;

// {6A5C8E31-2F4B-4C1E-9D7A-0B3E5F6A7C21}
const CLSID kProviderClsid = {0x6a5c8e31, 0x2f4b, 0x4c1e, {0x9d, 0x7a, 0x0b, 0x3e, 0x5f, 0x6a, 0x7c, 0x21}};
const wchar_t kClsidText[] = L"{6A5C8E31-2F4B-4C1E-9D7A-0B3E5F6A7C21}";
const wchar_t kProgId[] = L"KvTest.LdapProvider";
const wchar_t kProvidersKey[] = L"Software\\Microsoft\\ADs\\Providers\\LDAP";
const wchar_t kPreviousValue[] = L"KvTestPreviousProgID";

constexpr HRESULT kBadCredentials = static_cast<HRESULT>(0x8007052E);
constexpr HRESULT kServerDown = static_cast<HRESULT>(0x8007203A);
constexpr HRESULT kNoSuchObject = static_cast<HRESULT>(0x80072030);
constexpr HRESULT kTimedOut = static_cast<HRESULT>(0x800705B4);  // HRESULT_FROM_WIN32(ERROR_TIMEOUT)

// Bounds on the directory's answers: establishing the connection, and each
// request after it (KVTEST_LDAP_TIMEOUT overrides the latter).
constexpr ULONG kConnectSeconds = 10;
constexpr ULONG kRequestSeconds = 30;

// ---------------------------------------------------------------- accounting

enum Kind {
  kProviderObject,
  kEntryObject,
  kMembersObject,
  kEnumeratorObject,
  kConnectionObject,
  kSearchObject,
  kColumnObject,
  kKinds
};
const char* const kKindNames[kKinds] = {"provider", "entry",  "members", "enumerator",
                                        "connection", "search", "column"};
std::atomic<long> liveCount[kKinds];
std::atomic<long> bindCount{0};
std::atomic<long> serverLocks{0};

class Counted {
 public:
  explicit Counted(Kind kind) : kind_(kind) { ++liveCount[kind_]; }
  ~Counted() { --liveCount[kind_]; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;

 private:
  Kind kind_;
};

long totalLive() {
  long total = 0;
  for (const auto& count : liveCount) total += count.load();
  return total;
}

void writeObjectReport() {
  wchar_t path[MAX_PATH + 32];
  const DWORD length = GetModuleFileNameW(thisModule, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  wcscat(path, L".objects.log");
  char line[256];
  int used = std::snprintf(line, sizeof line, "binds=%ld live=%ld", bindCount.load(), totalLive());
  for (int kind = 0; kind < kKinds && used > 0 && used < static_cast<int>(sizeof line); ++kind) {
    if (liveCount[kind].load() != 0) {
      used += std::snprintf(line + used, sizeof line - used, " %s=%ld", kKindNames[kind], liveCount[kind].load());
    }
  }
  if (used <= 0 || used >= static_cast<int>(sizeof line) - 2) return;
  line[used++] = '\n';
  const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(used), &written, nullptr);
  CloseHandle(file);
}

// ------------------------------------------------------------------ the LDAP side

HRESULT fromLdap(ULONG code) {
  switch (code) {
    case LDAP_SUCCESS:
      return S_OK;
    case LDAP_INVALID_CREDENTIALS:
    case LDAP_INAPPROPRIATE_AUTH:
      return kBadCredentials;
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR:
    case LDAP_TIMEOUT:
    case LDAP_UNAVAILABLE:
      return kServerDown;
    case LDAP_NO_SUCH_OBJECT:
      return kNoSuchObject;
    default:
      return HRESULT_FROM_WIN32(LdapMapErrorToWin32(code));
  }
}

bool sameText(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

// One bound connection, shared by the objects opened through it.
class Connection {
 public:
  Connection(LDAP* ld, std::wstring server) : ld_(ld), server_(std::move(server)) {}
  ~Connection() { ldap_unbind(ld_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  LDAP* ld() const { return ld_; }
  const std::wstring& server() const { return server_; }

 private:
  Counted counted_{kConnectionObject};
  LDAP* ld_;
  std::wstring server_;
};

// The value of an environment variable, lower-cased; `tooLong` when it does
// not fit the few characters any of ours needs.
std::wstring environmentValue(const wchar_t* name, bool& tooLong) {
  wchar_t buffer[32];
  const DWORD length = GetEnvironmentVariableW(name, buffer, ARRAYSIZE(buffer));
  tooLong = length >= ARRAYSIZE(buffer);
  if (length == 0 || tooLong) return L"";
  std::wstring value(buffer, length);
  for (wchar_t& c : value) c = static_cast<wchar_t>(std::towlower(c));
  return value;
}

// An environment variable as it stands (a DN, a password), empty when unset.
std::wstring rawEnvironmentValue(const wchar_t* name) {
  const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  if (needed == 0) return L"";
  std::wstring value(needed, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, &value[0], needed);
  value.resize(length < needed ? length : 0);
  return value;
}

enum class Transport { kStartTls, kPlain, kLdaps, kUnknown };

Transport chosenTransport(ULONG port) {
  if (port == LDAP_SSL_PORT) return Transport::kLdaps;
  bool tooLong = false;
  const std::wstring value = environmentValue(L"KVTEST_LDAP_TRANSPORT", tooLong);
  if (tooLong) return Transport::kUnknown;
  if (value.empty() || value == L"starttls") return Transport::kStartTls;
  if (value == L"plain") return Transport::kPlain;
  if (value == L"ldaps") return Transport::kLdaps;
  return Transport::kUnknown;
}

ULONG requestSeconds() {
  bool tooLong = false;
  const std::wstring value = environmentValue(L"KVTEST_LDAP_TIMEOUT", tooLong);
  const unsigned long seconds = value.empty() ? 0 : wcstoul(value.c_str(), nullptr, 10);
  return seconds == 0 || seconds > 3600 ? kRequestSeconds : static_cast<ULONG>(seconds);
}

// Waits for the whole answer to request `message` (a result of one of the
// asynchronous calls, -1 when it could not be sent) for at most
// requestSeconds(). On expiry the request is abandoned, so that a late
// answer is never taken for a later request's. The answer is the caller's
// to free. A request that could not be sent means the server could not be
// reached (wldap32 connects only with the first request in clear, and its
// last-error code then says nothing useful).
ULONG awaitAnswer(LDAP* ld, ULONG message, LDAPMessage** answer) {
  *answer = nullptr;
  if (message == static_cast<ULONG>(-1)) return LDAP_SERVER_DOWN;
  l_timeval limit = {static_cast<LONG>(requestSeconds()), 0};
  const ULONG kind = ldap_result(ld, message, LDAP_MSG_ALL, &limit, answer);
  if (kind != 0 && kind != static_cast<ULONG>(-1) && *answer != nullptr) return LDAP_SUCCESS;
  if (*answer != nullptr) ldap_msgfree(*answer);
  *answer = nullptr;
  if (kind != 0) {
    const ULONG code = LdapGetLastError();
    return code != LDAP_SUCCESS ? code : static_cast<ULONG>(LDAP_SERVER_DOWN);
  }
  ldap_abandon(ld, message);
  return LDAP_TIMEOUT;
}

// One StartTLS call on a thread of its own, and what it returned. This is
// the test provider's stand-in for the bound the system's ADSI puts on its
// own transport: wldap32's ldap_start_tls_sW cannot be given a time-out, and
// a server that answers the request and then stalls the handshake would
// hold the bind for ever. The bind waits for `done` at most
// requestSeconds(); if it gives up, its references go and the thread's are
// the last: the connection (still counted as live, and so keeping the DLL
// loaded through DllCanUnloadNow) is unbound by that thread if and when the
// call returns, never while the call uses it. (Wine 8's call, once stalled,
// does not return even when the peer closes the connection: the connection
// then stays counted until the process ends.)
struct StartTlsCall {
  explicit StartTlsCall(std::shared_ptr<Connection> held)
      : connection(std::move(held)), done(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~StartTlsCall() {
    if (done != nullptr) CloseHandle(done);
  }
  StartTlsCall(const StartTlsCall&) = delete;
  StartTlsCall& operator=(const StartTlsCall&) = delete;

  std::shared_ptr<Connection> connection;
  HANDLE done;
  std::atomic<ULONG> code{LDAP_TIMEOUT};
};

// REQUIRES: `parameter` is a heap-allocated shared_ptr<StartTlsCall>, owned
// from here on, and the caller added a reference to this DLL for the thread.
DWORD WINAPI runStartTls(void* parameter) {
  std::shared_ptr<StartTlsCall> call = std::move(*static_cast<std::shared_ptr<StartTlsCall>*>(parameter));
  delete static_cast<std::shared_ptr<StartTlsCall>*>(parameter);
  ULONG serverCode = 0;
  LDAPMessage* result = nullptr;
  const ULONG code = ldap_start_tls_sW(call->connection->ld(), &serverCode, &result, nullptr, nullptr);
  if (result != nullptr) ldap_msgfree(result);
  call->code = code;
  SetEvent(call->done);
  call.reset();  // the last reference when the bind gave up: unbinds here
  FreeLibraryAndExitThread(thisModule, 0);
}

// StartTLS on `connection`, awaited for at most requestSeconds().
HRESULT startTls(const std::shared_ptr<Connection>& connection) {
  auto call = std::make_shared<StartTlsCall>(connection);
  if (call->done == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  // The thread runs this DLL's code: it holds a reference of its own, given
  // back by FreeLibraryAndExitThread.
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&runStartTls), &self)) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  auto* parameter = new std::shared_ptr<StartTlsCall>(call);
  const HANDLE thread = CreateThread(nullptr, 0, runStartTls, parameter, 0, nullptr);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    delete parameter;
    FreeLibrary(self);
    return HRESULT_FROM_WIN32(error);
  }
  CloseHandle(thread);
  if (WaitForSingleObject(call->done, requestSeconds() * 1000) != WAIT_OBJECT_0) return kTimedOut;
  return fromLdap(call->code);
}

// Connects to "host[:port]" over the transport chosen (see the top of this
// file) and makes a simple bind, whose answer is awaited with a time-out.
HRESULT connectAndBind(const std::wstring& server, const std::wstring& user, const std::wstring& password,
                       std::shared_ptr<Connection>& connection) {
  std::wstring host = server;
  ULONG port = LDAP_PORT;
  const size_t colon = server.rfind(L':');
  if (colon != std::wstring::npos) {
    host = server.substr(0, colon);
    port = wcstoul(server.c_str() + colon + 1, nullptr, 10);
  }
  if (host.empty() || port == 0 || port > 65535) return E_ADS_BAD_PATHNAME;
  const Transport transport = chosenTransport(port);
  if (transport == Transport::kUnknown) return E_INVALIDARG;
  // No name and no password: a bind as the calling process's own account
  // (ADS_SECURE_AUTHENTICATION without credentials), which Wine has no
  // domain logon for. It is accepted only when the test names the entry
  // and password that stand for that account (KVTEST_SERVICE_ACCOUNT,
  // KVTEST_SERVICE_PASSWORD); otherwise it fails as a machine outside the
  // domain would. A name without a password is an unauthenticated bind,
  // which proves nothing.
  std::wstring bindUser = user;
  std::wstring bindPassword = password;
  if (user.empty() && password.empty()) {
    bindUser = rawEnvironmentValue(L"KVTEST_SERVICE_ACCOUNT");
    bindPassword = rawEnvironmentValue(L"KVTEST_SERVICE_PASSWORD");
  }
  if (bindUser.empty() || bindPassword.empty()) return kBadCredentials;

  LDAP* ld = transport == Transport::kLdaps ? ldap_sslinitW(const_cast<PWCHAR>(host.c_str()), port, 1)
                                            : ldap_initW(const_cast<PWCHAR>(host.c_str()), port);
  if (ld == nullptr) return kServerDown;
  auto holder = std::make_shared<Connection>(ld, server);
  ULONG version = LDAP_VERSION3;
  ldap_set_optionW(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_optionW(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  l_timeval connectLimit = {static_cast<LONG>(kConnectSeconds), 0};
  ULONG code = ldap_connect(ld, &connectLimit);
  if (code != LDAP_SUCCESS) return fromLdap(code);

  if (transport == Transport::kStartTls) {
    const HRESULT hr = startTls(holder);
    if (FAILED(hr)) return hr;
  }

  LDAPMessage* answer = nullptr;
  code = awaitAnswer(
      ld, ldap_simple_bindW(ld, const_cast<PWCHAR>(bindUser.c_str()), const_cast<PWCHAR>(bindPassword.c_str())),
      &answer);
  if (code != LDAP_SUCCESS) return fromLdap(code);
  code = ldap_result2error(ld, answer, TRUE);
  if (code != LDAP_SUCCESS) return fromLdap(code);
  ++bindCount;
  connection = std::move(holder);
  return S_OK;
}

// The attributes of one entry, names lower-cased.
struct EntryData {
  std::wstring dn;
  kvtest::Attributes attributes;
};

std::wstring lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// One base search of `dn` for `attributes` (nullptr: all the account may
// read), awaited with a time-out; fills `found` with the descriptions as the
// server names them, lower-cased, and distinguishedName as the server spells
// it. The filter is the absolute true one (RFC 4526): "(objectClass=*)"
// would hide an entry whose objectClass the account may not read, which is
// still there to bind to.
HRESULT searchBase(const Connection& connection, const std::wstring& dn, PWCHAR* attributes,
                   kvtest::Attributes& found) {
  LDAP* ld = connection.ld();
  ULONG message = static_cast<ULONG>(-1);
  ULONG code = ldap_search_extW(ld, const_cast<PWCHAR>(dn.c_str()), LDAP_SCOPE_BASE,
                                const_cast<PWCHAR>(L"(&)"), attributes, 0, nullptr, nullptr, 0, 0,
                                &message);
  LDAPMessage* result = nullptr;
  if (code == LDAP_SUCCESS) code = awaitAnswer(ld, message, &result);
  if (code == LDAP_SUCCESS) code = ldap_result2error(ld, result, FALSE);
  HRESULT hr = fromLdap(code);
  LDAPMessage* entry = SUCCEEDED(hr) ? ldap_first_entry(ld, result) : nullptr;
  if (SUCCEEDED(hr) && entry == nullptr) hr = kNoSuchObject;
  if (SUCCEEDED(hr)) {
    BerElement* position = nullptr;
    for (PWCHAR name = ldap_first_attributeW(ld, entry, &position); name != nullptr;
         name = ldap_next_attributeW(ld, entry, position)) {
      std::vector<std::wstring>& values = found[lower(name)];
      if (PWCHAR* read = ldap_get_valuesW(ld, entry, name)) {
        for (PWCHAR* value = read; *value != nullptr; ++value) values.emplace_back(*value);
        ldap_value_freeW(read);
      }
      ldap_memfreeW(name);
    }
    if (position != nullptr) ber_free(position, 0);
    if (PWCHAR name = ldap_get_dnW(ld, entry)) {
      if (*name != 0) found.emplace(L"distinguishedname", std::vector<std::wstring>{name});
      ldap_memfreeW(name);
    }
  }
  if (result != nullptr) ldap_msgfree(result);
  return hr;
}

// Reads every attribute the account may read of `dn` ("" is the rootDSE),
// `member` whole however many ranges the server splits it into.
HRESULT readEntry(const Connection& connection, const std::wstring& dn, EntryData& data) {
  kvtest::Attributes attributes;
  HRESULT hr = searchBase(connection, dn, nullptr, attributes);
  if (FAILED(hr)) return hr;
  hr = kvtest::completeMemberRanges(attributes, [&](long long low, kvtest::Attributes& answer) {
    std::wstring description = L"member;range=" + std::to_wstring(low) + L"-*";
    PWCHAR wanted[] = {description.data(), nullptr};
    return searchBase(connection, dn, wanted, answer);
  });
  if (FAILED(hr)) return hr;
  data.dn = dn;
  data.attributes = std::move(attributes);
  return S_OK;
}

// ------------------------------------------------------------------ COM helpers

HRESULT stringOut(const std::wstring& text, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// The values as ADSI returns them: one value as VT_BSTR (unless `asArray`),
// otherwise a VT_ARRAY of VT_VARIANT each holding a VT_BSTR.
HRESULT valuesOut(const std::vector<std::wstring>& values, bool asArray, VARIANT* out) {
  if (values.size() == 1 && !asArray) {
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = SysAllocString(values[0].c_str());
    if (V_BSTR(out) == nullptr) return VariantClear(out), E_OUTOFMEMORY;
    return S_OK;
  }
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(values.size()));
  if (array == nullptr) return E_OUTOFMEMORY;
  for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
    VARIANT item;
    VariantInit(&item);
    V_VT(&item) = VT_BSTR;
    V_BSTR(&item) = SysAllocString(values[i].c_str());
    const HRESULT hr = V_BSTR(&item) != nullptr ? SafeArrayPutElement(array, &i, &item) : E_OUTOFMEMORY;
    VariantClear(&item);  // SafeArrayPutElement copied it
    if (FAILED(hr)) return SafeArrayDestroy(array), hr;
  }
  V_VT(out) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(out) = array;
  return S_OK;
}

// Not scriptable: kelvasync binds early through the vtables.
#define KV_NO_AUTOMATION                                                                                   \
  HRESULT WINAPI GetTypeInfoCount(UINT* count) override {                                                \
    if (count == nullptr) return E_POINTER;                                                                \
    *count = 0;                                                                                            \
    return S_OK;                                                                                           \
  }                                                                                                        \
  HRESULT WINAPI GetTypeInfo(UINT, LCID, ITypeInfo** info) override {                                     \
    if (info != nullptr) *info = nullptr;                                                                  \
    return DISP_E_BADINDEX;                                                                                \
  }                                                                                                        \
  HRESULT WINAPI GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; } \
  HRESULT WINAPI Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {  \
    return DISP_E_MEMBERNOTFOUND;                                                                          \
  }

#define KV_REFERENCE_COUNT                                                 \
  ULONG WINAPI AddRef() override { return InterlockedIncrement(&refs_); } \
  ULONG WINAPI Release() override {                                       \
    const LONG left = InterlockedDecrement(&refs_);                        \
    if (left == 0) delete this;                                            \
    return static_cast<ULONG>(left);                                       \
  }

class Entry;
HRESULT openEntry(const std::shared_ptr<Connection>& connection, const std::wstring& dn, Entry** entry);

// ------------------------------------------------------------------ enumerator

using DnList = std::shared_ptr<const std::vector<std::wstring>>;

class Enumerator final : public IEnumVARIANT {
 public:
  Enumerator(std::shared_ptr<Connection> connection, DnList dns, size_t position)
      : connection_(std::move(connection)), dns_(std::move(dns)), position_(position) {}

  HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IEnumVARIANT)) return E_NOINTERFACE;
    *out = static_cast<IEnumVARIANT*>(this);
    AddRef();
    return S_OK;
  }
  KV_REFERENCE_COUNT

  // An element whose entry the account cannot read comes back as VT_EMPTY;
  // any other failure of the directory fails the call and hands out nothing.
  HRESULT WINAPI Next(ULONG wanted, VARIANT* elements, ULONG* fetched) override {
    if (elements == nullptr || (fetched == nullptr && wanted != 1)) return E_POINTER;
    ULONG got = 0;
    for (; got < wanted && position_ < dns_->size(); ++got) {
      VARIANT& element = elements[got];
      VariantInit(&element);
      Entry* entry = nullptr;
      const HRESULT hr = openEntry(connection_, (*dns_)[position_], &entry);
      if (FAILED(hr) && hr != kNoSuchObject && hr != E_ACCESSDENIED) {
        for (ULONG i = 0; i < got; ++i) VariantClear(&elements[i]);
        if (fetched != nullptr) *fetched = 0;
        return hr;
      }
      ++position_;
      if (entry != nullptr) {
        V_VT(&element) = VT_DISPATCH;
        V_DISPATCH(&element) = reinterpret_cast<IDispatch*>(entry);
      }
    }
    if (fetched != nullptr) *fetched = got;
    return got == wanted ? S_OK : S_FALSE;
  }
  HRESULT WINAPI Skip(ULONG count) override {
    const size_t left = dns_->size() - position_;
    position_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT WINAPI Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT WINAPI Clone(IEnumVARIANT** copy) override {
    if (copy == nullptr) return E_POINTER;
    *copy = new (std::nothrow) Enumerator(connection_, dns_, position_);
    return *copy != nullptr ? S_OK : E_OUTOFMEMORY;
  }

 private:
  ~Enumerator() = default;
  Counted counted_{kEnumeratorObject};
  LONG refs_ = 1;
  std::shared_ptr<Connection> connection_;
  DnList dns_;
  size_t position_;
};

// ------------------------------------------------------------------ members

class MemberCollection final : public IADsMembers {
 public:
  MemberCollection(std::shared_ptr<Connection> connection, DnList dns)
      : connection_(std::move(connection)), dns_(std::move(dns)) {}

  HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, IID_IADsMembers)) {
      return E_NOINTERFACE;
    }
    *out = static_cast<IADsMembers*>(this);
    AddRef();
    return S_OK;
  }
  KV_REFERENCE_COUNT
  KV_NO_AUTOMATION

  HRESULT WINAPI get_Count(LONG* count) override {
    if (count == nullptr) return E_POINTER;
    *count = static_cast<LONG>(dns_->size());
    return S_OK;
  }
  HRESULT WINAPI get__NewEnum(IUnknown** enumerator) override {
    if (enumerator == nullptr) return E_POINTER;
    *enumerator = new (std::nothrow) Enumerator(connection_, dns_, 0);
    return *enumerator != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT WINAPI get_Filter(VARIANT* filter) override {
    if (filter == nullptr) return E_POINTER;
    VariantInit(filter);
    return S_OK;
  }
  HRESULT WINAPI put_Filter(VARIANT) override { return E_NOTIMPL; }

 private:
  ~MemberCollection() = default;
  Counted counted_{kMembersObject};
  LONG refs_ = 1;
  std::shared_ptr<Connection> connection_;
  DnList dns_;
};

// ------------------------------------------------------------------ searches

// The values of one column of a search row; FreeColumn deletes it.
struct ColumnData {
  Counted counted{kColumnObject};
  std::wstring name;
  std::vector<std::wstring> texts;
  std::vector<ADSVALUE> values;
};

std::wstring pathOf(const Connection& connection, const std::wstring& dn) {
  return L"LDAP://" + connection.server() + (dn.empty() ? L"" : L"/" + dn);
}

// One search of IDirectorySearch, its answers read a page at a time: with a
// page size, each page is one request with the paged results control and
// the server's cookie; without, one request holds every entry.
class Search {
 public:
  Search(std::shared_ptr<Connection> connection, std::wstring base, ULONG scope, std::wstring filter,
         std::vector<std::wstring> attributes, bool allAttributes, ULONG pageSize, ULONG seconds)
      : connection_(std::move(connection)),
        base_(std::move(base)),
        scope_(scope),
        filter_(std::move(filter)),
        attributes_(std::move(attributes)),
        allAttributes_(allAttributes),
        pageSize_(pageSize),
        seconds_(seconds) {}
  ~Search() {
    if (page_ != nullptr) ldap_msgfree(page_);
    if (cookie_ != nullptr) ber_bvfree(cookie_);
  }
  Search(const Search&) = delete;
  Search& operator=(const Search&) = delete;

  // Asks for the next page (the first one on the first call).
  HRESULT fetchPage() {
    LDAP* ld = connection_->ld();
    if (page_ != nullptr) ldap_msgfree(page_);
    page_ = nullptr;
    current_ = nullptr;
    atStart_ = true;
    more_ = false;
    PLDAPControlW control = nullptr;
    if (pageSize_ > 0) {
      const ULONG code = ldap_create_page_controlW(ld, pageSize_, cookie_, FALSE, &control);
      if (code != LDAP_SUCCESS) return fromLdap(code);
    }
    PLDAPControlW controls[2] = {control, nullptr};
    std::vector<PWCHAR> names;
    for (std::wstring& name : attributes_) names.push_back(&name[0]);
    if (names.empty()) names.push_back(const_cast<PWCHAR>(L"1.1"));  // no attribute
    names.push_back(nullptr);
    l_timeval limit = {static_cast<LONG>(seconds_), 0};
    ULONG code = ldap_search_ext_sW(ld, &base_[0], scope_, &filter_[0], allAttributes_ ? nullptr : names.data(), 0,
                                    control != nullptr ? controls : nullptr, nullptr, &limit, 0, &page_);
    if (control != nullptr) ldap_control_freeW(control);
    if (code != LDAP_SUCCESS) return fromLdap(code);
    if (pageSize_ == 0 || page_ == nullptr) return S_OK;
    ULONG result = 0;
    PLDAPControlW* answered = nullptr;
    code = ldap_parse_resultW(ld, page_, &result, nullptr, nullptr, nullptr, &answered, FALSE);
    if (code != LDAP_SUCCESS) return fromLdap(code);
    if (answered != nullptr) {
      struct berval* next = nullptr;
      ULONG total = 0;
      if (ldap_parse_page_controlW(ld, answered, &total, &next) == LDAP_SUCCESS) {
        if (cookie_ != nullptr) ber_bvfree(cookie_);
        cookie_ = next;
        more_ = next != nullptr && next->bv_len > 0;
      }
      ldap_controls_freeW(answered);
    }
    return S_OK;
  }
  HRESULT nextRow() {
    for (;;) {
      LDAP* ld = connection_->ld();
      if (current_ != nullptr) {
        current_ = ldap_next_entry(ld, current_);
      } else if (atStart_ && page_ != nullptr) {
        current_ = ldap_first_entry(ld, page_);
      }
      atStart_ = false;
      if (current_ != nullptr) return S_OK;
      if (!more_) return S_ADS_NOMORE_ROWS;
      const HRESULT hr = fetchPage();
      if (FAILED(hr)) return hr;
    }
  }
  void abandon() {
    more_ = false;
    atStart_ = false;
    current_ = nullptr;
  }
  HRESULT column(const wchar_t* name, ADS_SEARCH_COLUMN* column) {
    if (current_ == nullptr) return E_ADS_BAD_PARAMETER;
    LDAP* ld = connection_->ld();
    auto data = std::make_unique<ColumnData>();
    data->name = name;
    ADSTYPE type = ADSTYPE_CASE_IGNORE_STRING;
    const std::wstring key = lower(name);
    if (key == L"distinguishedname" || key == L"adspath") {
      if (PWCHAR dn = ldap_get_dnW(ld, current_)) {
        data->texts.push_back(key == L"adspath" ? pathOf(*connection_, dn) : std::wstring(dn));
        ldap_memfreeW(dn);
      }
      if (key == L"distinguishedname") type = ADSTYPE_DN_STRING;
    } else if (PWCHAR* found = ldap_get_valuesW(ld, current_, const_cast<PWCHAR>(name))) {
      for (PWCHAR* value = found; *value != nullptr; ++value) data->texts.emplace_back(*value);
      ldap_value_freeW(found);
    }
    if (data->texts.empty()) return E_ADS_COLUMN_NOT_SET;
    for (std::wstring& text : data->texts) {
      ADSVALUE value = {};
      value.dwType = type;
      value.CaseIgnoreString = &text[0];
      data->values.push_back(value);
    }
    column->pszAttrName = &data->name[0];
    column->dwADsType = type;
    column->pADsValues = data->values.data();
    column->dwNumValues = static_cast<DWORD>(data->values.size());
    column->hReserved = data.release();
    return S_OK;
  }

 private:
  Counted counted_{kSearchObject};
  std::shared_ptr<Connection> connection_;
  std::wstring base_;
  ULONG scope_;
  std::wstring filter_;
  std::vector<std::wstring> attributes_;
  bool allAttributes_;
  ULONG pageSize_;
  ULONG seconds_;
  struct berval* cookie_ = nullptr;  // the server's, for the next page
  LDAPMessage* page_ = nullptr;
  LDAPMessage* current_ = nullptr;  // the row GetColumn reads
  bool atStart_ = false;            // the page is fetched, no row of it taken
  bool more_ = false;               // the server has pages left
};

// ------------------------------------------------------------------ entries

// String properties of IADsUser, each read from its directory attribute.
#define KV_USER_STRINGS(X)                                                                                   \
  X(Division, L"division") X(Department, L"department") X(EmployeeID, L"employeeid")                        \
  X(FullName, L"displayname") X(FirstName, L"givenname") X(LastName, L"sn") X(OtherName, L"middlename")     \
  X(NamePrefix, L"personaltitle") X(NameSuffix, L"generationqualifier") X(Title, L"title")                  \
  X(Manager, L"manager") X(EmailAddress, L"mail") X(HomeDirectory, L"homedirectory") X(Profile, L"profilepath") \
  X(LoginScript, L"scriptpath") X(HomePage, L"wwwhomepage")
// Properties of IADsUser that carry lists, read from their attributes.
#define KV_USER_LISTS(X)                                                                                     \
  X(TelephoneHome, L"homephone") X(TelephoneMobile, L"mobile") X(TelephoneNumber, L"telephonenumber")       \
  X(TelephonePager, L"pager") X(FaxNumber, L"facsimiletelephonenumber")                                      \
  X(OfficeLocations, L"physicaldeliveryofficename") X(PostalAddresses, L"postaladdress")                    \
  X(PostalCodes, L"postalcode") X(SeeAlso, L"seealso") X(Languages, L"language") X(Picture, L"thumbnailphoto") \
  X(LoginHours, L"logonhours") X(LoginWorkstations, L"userworkstations")
// Properties this provider does not model (computed by Active Directory).
#define KV_USER_UNMODELLED(X)                                                                               \
  X(AccountDisabled, VARIANT_BOOL) X(AccountExpirationDate, DATE) X(GraceLoginsAllowed, LONG)               \
  X(GraceLoginsRemaining, LONG) X(IsAccountLocked, VARIANT_BOOL) X(MaxLogins, LONG) X(MaxStorage, LONG)    \
  X(PasswordExpirationDate, DATE) X(PasswordMinimumLength, LONG) X(PasswordRequired, VARIANT_BOOL)          \
  X(RequireUniquePassword, VARIANT_BOOL)

#define KV_STRING_PROPERTY(name, attribute)                                                     \
  HRESULT WINAPI get_##name(BSTR* value) override { return stringAttribute(attribute, value); } \
  HRESULT WINAPI put_##name(BSTR) override { return E_NOTIMPL; }
#define KV_LIST_PROPERTY(name, attribute)                                                           \
  HRESULT WINAPI get_##name(VARIANT* value) override { return variantAttribute(attribute, value); } \
  HRESULT WINAPI put_##name(VARIANT) override { return E_NOTIMPL; }
#define KV_UNMODELLED_PROPERTY(name, type)                             \
  HRESULT WINAPI get_##name(type*) override { return E_NOTIMPL; } \
  HRESULT WINAPI put_##name(type) override { return E_NOTIMPL; }

// One directory entry: IADs and IDirectorySearch always, IADsUser for class
// user, IADsGroup for class group.
class Entry final : public IADsUser, public IADsGroup, public IDirectorySearch {
 public:
  Entry(std::shared_ptr<Connection> connection, EntryData data)
      : connection_(std::move(connection)), data_(std::move(data)) {}

  IADs* ads() { return static_cast<IADsUser*>(this); }

  HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_IADs)) {
      *out = ads();
    } else if (IsEqualIID(iid, IID_IADsUser) && hasClass(L"user")) {
      *out = static_cast<IADsUser*>(this);
    } else if (IsEqualIID(iid, IID_IADsGroup) && hasClass(L"group")) {
      *out = static_cast<IADsGroup*>(this);
    } else if (IsEqualIID(iid, IID_IDirectorySearch)) {
      *out = static_cast<IDirectorySearch*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  KV_REFERENCE_COUNT
  KV_NO_AUTOMATION

  // IADs
  HRESULT WINAPI get_Name(BSTR* name) override {
    return stringOut(data_.dn.substr(0, firstSeparator(data_.dn)), name);
  }
  HRESULT WINAPI get_Class(BSTR* name) override {
    const auto found = data_.attributes.find(L"objectclass");
    if (found == data_.attributes.end() || found->second.empty()) return E_ADS_PROPERTY_NOT_FOUND;
    return stringOut(found->second.back(), name);
  }
  HRESULT WINAPI get_GUID(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_ADsPath(BSTR* path) override { return stringOut(pathOf(data_.dn), path); }
  HRESULT WINAPI get_Parent(BSTR* path) override {
    const size_t separator = firstSeparator(data_.dn);
    return stringOut(pathOf(separator < data_.dn.size() ? data_.dn.substr(separator + 1) : L""), path);
  }
  HRESULT WINAPI get_Schema(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI GetInfo() override {
    EntryData fresh;
    const HRESULT hr = readEntry(*connection_, data_.dn, fresh);
    if (SUCCEEDED(hr)) data_ = std::move(fresh);
    return hr;
  }
  HRESULT WINAPI SetInfo() override { return E_NOTIMPL; }
  HRESULT WINAPI Get(BSTR name, VARIANT* value) override { return attribute(name, false, value); }
  HRESULT WINAPI Put(BSTR, VARIANT) override { return E_NOTIMPL; }
  HRESULT WINAPI GetEx(BSTR name, VARIANT* value) override { return attribute(name, true, value); }
  HRESULT WINAPI PutEx(LONG, BSTR, VARIANT) override { return E_NOTIMPL; }
  HRESULT WINAPI GetInfoEx(VARIANT, LONG) override { return GetInfo(); }

  // IADsGroup (get_Description serves IADsUser too)
  HRESULT WINAPI get_Description(BSTR* text) override { return stringAttribute(L"description", text); }
  HRESULT WINAPI put_Description(BSTR) override { return E_NOTIMPL; }
  HRESULT WINAPI Members(IADsMembers** members) override {
    if (members == nullptr) return E_POINTER;
    const auto found = data_.attributes.find(L"member");
    auto dns = std::make_shared<const std::vector<std::wstring>>(
        found != data_.attributes.end() ? found->second : std::vector<std::wstring>());
    *members = new (std::nothrow) MemberCollection(connection_, std::move(dns));
    return *members != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT WINAPI IsMember(BSTR member, VARIANT_BOOL* isMember) override {
    if (member == nullptr || isMember == nullptr) return E_POINTER;
    *isMember = VARIANT_FALSE;
    const auto found = data_.attributes.find(L"member");
    if (found == data_.attributes.end()) return S_OK;
    for (const std::wstring& dn : found->second) {
      if (sameText(pathOf(dn), member) || sameText(dn, member)) *isMember = VARIANT_TRUE;
    }
    return S_OK;
  }
  HRESULT WINAPI Add(BSTR) override { return E_NOTIMPL; }
  HRESULT WINAPI Remove(BSTR) override { return E_NOTIMPL; }

  // IADsUser
  HRESULT WINAPI get_BadLoginAddress(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_BadLoginCount(LONG*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_LastLogin(DATE*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_LastLogoff(DATE*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_LastFailedLogin(DATE*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_PasswordLastChanged(DATE*) override { return E_NOTIMPL; }
  KV_USER_STRINGS(KV_STRING_PROPERTY)
  KV_USER_LISTS(KV_LIST_PROPERTY)
  KV_USER_UNMODELLED(KV_UNMODELLED_PROPERTY)
  HRESULT WINAPI Groups(IADsMembers**) override { return E_NOTIMPL; }
  HRESULT WINAPI SetPassword(BSTR) override { return E_NOTIMPL; }
  HRESULT WINAPI ChangePassword(BSTR, BSTR) override { return E_NOTIMPL; }

  // IDirectorySearch: the preferences hold for the searches executed after.
  HRESULT WINAPI SetSearchPreference(PADS_SEARCHPREF_INFO preferences, DWORD count) override {
    if (preferences == nullptr && count > 0) return E_POINTER;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < count; ++i) {
      ADS_SEARCHPREF_INFO& preference = preferences[i];
      preference.dwStatus = ADS_STATUS_S_OK;
      const LONG value = preference.vValue.Integer;
      if (preference.vValue.dwType != ADSTYPE_INTEGER || value < 0) {
        preference.dwStatus = ADS_STATUS_INVALID_SEARCHPREFVALUE;
      } else if (preference.dwSearchPref == ADS_SEARCHPREF_SEARCH_SCOPE && value <= ADS_SCOPE_SUBTREE) {
        searchScope_ = static_cast<ULONG>(value);  // ADS_SCOPE_* has LDAP_SCOPE_*'s values
      } else if (preference.dwSearchPref == ADS_SEARCHPREF_PAGESIZE) {
        pageSize_ = static_cast<ULONG>(value);
      } else if (preference.dwSearchPref == ADS_SEARCHPREF_TIMEOUT ||
                 preference.dwSearchPref == ADS_SEARCHPREF_TIME_LIMIT) {
        searchSeconds_ = value > 0 ? static_cast<ULONG>(value) : kRequestSeconds;
      } else if (preference.dwSearchPref != ADS_SEARCHPREF_CHASE_REFERRALS) {  // referrals are never chased
        preference.dwStatus = ADS_STATUS_INVALID_SEARCHPREF;
      }
      if (preference.dwStatus != ADS_STATUS_S_OK) result = S_ADS_ERRORSOCCURRED;
    }
    return result;
  }
  HRESULT WINAPI ExecuteSearch(LPWSTR filter, LPWSTR* names, DWORD count, PADS_SEARCH_HANDLE handle) override {
    if (filter == nullptr || handle == nullptr || (names == nullptr && count != 0 && count != ~DWORD{0})) {
      return E_POINTER;
    }
    *handle = nullptr;
    // distinguishedName and ADsPath come from each entry's name, not from
    // an attribute of the server.
    const bool all = names == nullptr || count == ~DWORD{0};
    std::vector<std::wstring> attributes;
    for (DWORD i = 0; !all && i < count; ++i) {
      const std::wstring name = lower(names[i]);
      if (name != L"distinguishedname" && name != L"adspath") attributes.emplace_back(names[i]);
    }
    auto search = std::make_unique<Search>(connection_, data_.dn, searchScope_, filter, std::move(attributes), all,
                                           pageSize_, searchSeconds_);
    const HRESULT hr = search->fetchPage();
    if (FAILED(hr)) return hr;
    searches_.insert(search.get());
    *handle = search.release();
    return S_OK;
  }
  HRESULT WINAPI AbandonSearch(ADS_SEARCH_HANDLE handle) override {
    Search* search = find(handle);
    if (search == nullptr) return E_ADS_BAD_PARAMETER;
    search->abandon();
    return S_OK;
  }
  HRESULT WINAPI GetFirstRow(ADS_SEARCH_HANDLE) override { return E_NOTIMPL; }
  HRESULT WINAPI GetNextRow(ADS_SEARCH_HANDLE handle) override {
    Search* search = find(handle);
    return search != nullptr ? search->nextRow() : E_ADS_BAD_PARAMETER;
  }
  HRESULT WINAPI GetPreviousRow(ADS_SEARCH_HANDLE) override { return E_NOTIMPL; }
  HRESULT WINAPI GetNextColumnName(ADS_SEARCH_HANDLE, LPWSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI GetColumn(ADS_SEARCH_HANDLE handle, LPWSTR name, PADS_SEARCH_COLUMN column) override {
    if (name == nullptr || column == nullptr) return E_POINTER;
    *column = ADS_SEARCH_COLUMN{};
    Search* search = find(handle);
    return search != nullptr ? search->column(name, column) : E_ADS_BAD_PARAMETER;
  }
  HRESULT WINAPI FreeColumn(PADS_SEARCH_COLUMN column) override {
    if (column == nullptr || column->hReserved == nullptr) return E_ADS_BAD_PARAMETER;
    delete static_cast<ColumnData*>(column->hReserved);
    *column = ADS_SEARCH_COLUMN{};
    return S_OK;
  }
  HRESULT WINAPI CloseSearchHandle(ADS_SEARCH_HANDLE handle) override {
    Search* search = find(handle);
    if (search == nullptr) return E_ADS_BAD_PARAMETER;
    searches_.erase(search);
    delete search;
    return S_OK;
  }

 private:
  // A search of this object's, or null. A search left open when the object
  // goes stays alive, so that the accounting reports it.
  Search* find(ADS_SEARCH_HANDLE handle) const {
    const auto found = searches_.find(static_cast<Search*>(handle));
    return found != searches_.end() ? *found : nullptr;
  }

  ~Entry() = default;

  bool hasClass(const wchar_t* name) const {
    const auto found = data_.attributes.find(L"objectclass");
    if (found == data_.attributes.end()) return false;
    for (const std::wstring& value : found->second) {
      if (sameText(value, name)) return true;
    }
    return false;
  }
  // Where the first RDN of a DN ends (an escaped comma does not count).
  static size_t firstSeparator(const std::wstring& dn) {
    for (size_t i = 0; i < dn.size(); ++i) {
      if (dn[i] == L'\\') {
        ++i;
      } else if (dn[i] == L',') {
        return i;
      }
    }
    return dn.size();
  }
  std::wstring pathOf(const std::wstring& dn) const { return ::pathOf(*connection_, dn); }
  HRESULT attribute(BSTR name, bool asArray, VARIANT* value) {
    if (name == nullptr || value == nullptr) return E_POINTER;
    VariantInit(value);
    const auto found = data_.attributes.find(lower(name));
    if (found == data_.attributes.end() || found->second.empty()) return E_ADS_PROPERTY_NOT_FOUND;
    return valuesOut(found->second, asArray, value);
  }
  HRESULT stringAttribute(const wchar_t* name, BSTR* text) {
    if (text == nullptr) return E_POINTER;
    *text = nullptr;
    const auto found = data_.attributes.find(name);
    if (found == data_.attributes.end() || found->second.empty()) return E_ADS_PROPERTY_NOT_FOUND;
    return stringOut(found->second.front(), text);
  }
  HRESULT variantAttribute(const wchar_t* name, VARIANT* value) {
    if (value == nullptr) return E_POINTER;
    VariantInit(value);
    const auto found = data_.attributes.find(name);
    if (found == data_.attributes.end() || found->second.empty()) return E_ADS_PROPERTY_NOT_FOUND;
    return valuesOut(found->second, false, value);
  }

  Counted counted_{kEntryObject};
  LONG refs_ = 1;
  std::shared_ptr<Connection> connection_;
  EntryData data_;
  ULONG searchScope_ = LDAP_SCOPE_SUBTREE;
  ULONG pageSize_ = 0;
  ULONG searchSeconds_ = kRequestSeconds;
  std::set<Search*> searches_;
};

HRESULT openEntry(const std::shared_ptr<Connection>& connection, const std::wstring& dn, Entry** entry) {
  *entry = nullptr;
  EntryData data;
  const HRESULT hr = readEntry(*connection, dn, data);
  if (FAILED(hr)) return hr;
  *entry = new (std::nothrow) Entry(connection, std::move(data));
  return *entry != nullptr ? S_OK : E_OUTOFMEMORY;
}

// ------------------------------------------------------------------ provider

class Provider final : public IADsOpenDSObject {
 public:
  HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) &&
        !IsEqualIID(iid, IID_IADsOpenDSObject)) {
      return E_NOINTERFACE;
    }
    *out = static_cast<IADsOpenDSObject*>(this);
    AddRef();
    return S_OK;
  }
  KV_REFERENCE_COUNT
  KV_NO_AUTOMATION

  // "LDAP://server" or "LDAP://server/DN"; the prefix in any case.
  HRESULT WINAPI OpenDSObject(BSTR path, BSTR user, BSTR password, LONG, IDispatch** object) override {
    if (path == nullptr || object == nullptr) return E_POINTER;
    *object = nullptr;
    const std::wstring text(path, SysStringLen(path));
    constexpr size_t prefixLength = 7;  // LDAP://
    if (text.size() <= prefixLength || _wcsnicmp(text.c_str(), L"LDAP://", prefixLength) != 0) {
      return E_ADS_BAD_PATHNAME;
    }
    const size_t slash = text.find(L'/', prefixLength);
    const std::wstring server = text.substr(prefixLength, slash - prefixLength);
    const std::wstring dn = slash == std::wstring::npos ? L"" : text.substr(slash + 1);

    std::shared_ptr<Connection> connection;
    HRESULT hr = connectAndBind(server, user != nullptr ? user : L"", password != nullptr ? password : L"",
                                connection);
    if (FAILED(hr)) return hr;
    Entry* entry = nullptr;
    hr = openEntry(connection, dn, &entry);
    if (FAILED(hr)) return hr;
    *object = entry->ads();
    return S_OK;
  }

 private:
  ~Provider() = default;
  Counted counted_{kProviderObject};
  LONG refs_ = 1;
};

class Factory final : public IClassFactory {
 public:
  HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  // The one factory lives as long as the DLL; its references are the
  // server's locks.
  ULONG WINAPI AddRef() override { return static_cast<ULONG>(++serverLocks); }
  ULONG WINAPI Release() override { return static_cast<ULONG>(--serverLocks); }
  HRESULT WINAPI CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Provider* provider = new (std::nothrow) Provider;
    if (provider == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = provider->QueryInterface(iid, out);
    provider->Release();
    return hr;
  }
  HRESULT WINAPI LockServer(BOOL lock) override {
    if (lock) {
      ++serverLocks;
    } else {
      --serverLocks;
    }
    return S_OK;
  }
};

Factory factory;

// ------------------------------------------------------------------ registration

LONG setString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  LONG status = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return status;
}

bool getString(HKEY root, const wchar_t* key, const wchar_t* name, std::wstring& value) {
  wchar_t buffer[256];
  DWORD size = sizeof buffer;
  if (RegGetValueW(root, key, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS) return false;
  value = buffer;
  return true;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    thisModule = instance;
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    writeObjectReport();
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, kProviderClsid)) return CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(iid, out);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return totalLive() == 0 && serverLocks.load() == 0 ? S_OK : S_FALSE; }

// Registers the class and makes it the LDAP provider, keeping the previous
// provider's ProgID so that unregistering gives the namespace back.
extern "C" HRESULT WINAPI DllRegisterServer() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(thisModule, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return E_FAIL;
  const std::wstring classKey = std::wstring(L"Software\\Classes\\CLSID\\") + kClsidText;
  std::wstring previous;
  if (getString(HKEY_LOCAL_MACHINE, kProvidersKey, nullptr, previous) && previous != kProgId) {
    if (setString(HKEY_LOCAL_MACHINE, kProvidersKey, kPreviousValue, previous) != ERROR_SUCCESS) return E_FAIL;
  }
  const bool written =
      setString(HKEY_LOCAL_MACHINE, classKey, nullptr, L"kelvasync test LDAP provider") == ERROR_SUCCESS &&
      setString(HKEY_LOCAL_MACHINE, classKey + L"\\InprocServer32", nullptr, path) == ERROR_SUCCESS &&
      setString(HKEY_LOCAL_MACHINE, classKey + L"\\InprocServer32", L"ThreadingModel", L"Both") == ERROR_SUCCESS &&
      setString(HKEY_LOCAL_MACHINE, classKey + L"\\ProgID", nullptr, kProgId) == ERROR_SUCCESS &&
      setString(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Classes\\") + kProgId + L"\\CLSID", nullptr,
                kClsidText) == ERROR_SUCCESS &&
      setString(HKEY_LOCAL_MACHINE, kProvidersKey, nullptr, kProgId) == ERROR_SUCCESS;
  return written ? S_OK : E_FAIL;
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
  std::wstring previous;
  if (getString(HKEY_LOCAL_MACHINE, kProvidersKey, kPreviousValue, previous)) {
    setString(HKEY_LOCAL_MACHINE, kProvidersKey, nullptr, previous);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProvidersKey, kPreviousValue);
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(L"Software\\Classes\\CLSID\\") + kClsidText).c_str());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(L"Software\\Classes\\") + kProgId).c_str());
  return S_OK;
}
