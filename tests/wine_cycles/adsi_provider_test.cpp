// The test ADSI provider through ADsOpenObject, as kelvasync reaches it,
// against the slapd of cycles.sh (KVTEST_LDAP_SERVER, "127.0.0.1:port";
// KVTEST_LDAPS_SERVER its LDAPS port; KVTEST_SILENT_SERVER a server that
// answers only binds of "cn=answered" and StartTLS, whose handshake it
// then stalls): what the cycles do
// not walk (Skip, Reset, Clone, Next of several, the HRESULTs of a missing
// entry and a missing attribute, a search that spans several pages, an
// abandoned search, each transport, the time-outs, the range retrieval of
// member) and the live-object accounting that the leak check of the cycles
// relies on.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <activeds.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "member_ranges.h"

namespace {

const wchar_t kAccount[] = L"cn=svc,ou=Users,dc=kelvasync,dc=test";
const wchar_t kPassword[] = L"segredo";

std::wstring environment(const char* name) {
  const char* value = std::getenv(name);
  std::string text = value != nullptr ? value : "";
  return std::wstring(text.begin(), text.end());
}
std::wstring server() { return environment("KVTEST_LDAP_SERVER"); }

HRESULT open(const std::wstring& dn, REFIID iid, void** out) {
  const std::wstring path = L"LDAP://" + server() + (dn.empty() ? L"" : L"/" + dn);
  return ADsOpenObject(path.c_str(), kAccount, kPassword, ADS_SECURE_AUTHENTICATION, iid, out);
}

// The provider's own answer to whether it may be unloaded: S_OK only when no
// object and no connection of it is alive.
HRESULT providerCanUnload() {
  const HMODULE module = GetModuleHandleW(L"kvtest-adsi.dll");
  if (module == nullptr) return E_FAIL;
  using CanUnload = HRESULT(WINAPI*)();
  const auto entry = reinterpret_cast<CanUnload>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  return entry != nullptr ? entry() : E_FAIL;
}

// The samAccountName of each element of a Next call ("" for a non-user,
// "<empty>" for an element without object); releases the elements.
std::vector<std::wstring> logons(VARIANT* elements, ULONG count) {
  std::vector<std::wstring> result;
  for (ULONG i = 0; i < count; ++i) {
    if (V_VT(&elements[i]) != VT_DISPATCH) {
      result.push_back(L"<empty>");
    } else {
      IADsUser* user = nullptr;
      std::wstring logon;
      if (SUCCEEDED(V_DISPATCH(&elements[i])->QueryInterface(IID_IADsUser, reinterpret_cast<void**>(&user)))) {
        BSTR name = SysAllocString(L"samAccountName");
        VARIANT value;
        VariantInit(&value);
        if (SUCCEEDED(user->Get(name, &value)) && V_VT(&value) == VT_BSTR) logon = V_BSTR(&value);
        VariantClear(&value);
        SysFreeString(name);
        user->Release();
      }
      result.push_back(logon);
    }
    VariantClear(&elements[i]);
  }
  return result;
}

class AdsiProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(server().empty()) << "KVTEST_LDAP_SERVER is not set";
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(AdsiProvider, EnumeratorSkipsResetsAndClones) {
  IADsGroup* group = nullptr;
  ASSERT_EQ(open(L"CN=Tessel,OU=Groups,dc=kelvasync,dc=test", IID_IADsGroup, reinterpret_cast<void**>(&group)), S_OK);
  IADsMembers* members = nullptr;
  ASSERT_EQ(group->Members(&members), S_OK);
  LONG count = 0;
  EXPECT_EQ(members->get_Count(&count), S_OK);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(members->get__NewEnum(&unknown), S_OK);
  IEnumVARIANT* enumerator = nullptr;
  ASSERT_EQ(unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&enumerator)), S_OK);

  // While anything is held the provider must refuse to be unloaded.
  EXPECT_EQ(providerCanUnload(), S_FALSE);

  VARIANT elements[8];
  ULONG fetched = 0;
  ASSERT_EQ(enumerator->Skip(1), S_OK);
  ASSERT_EQ(enumerator->Next(2, elements, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  const std::vector<std::wstring> second = logons(elements, fetched);

  IEnumVARIANT* copy = nullptr;
  ASSERT_EQ(enumerator->Clone(&copy), S_OK);
  ASSERT_EQ(enumerator->Reset(), S_OK);
  ASSERT_EQ(enumerator->Next(8, elements, &fetched), S_FALSE);  // fewer than asked
  const std::vector<std::wstring> all = logons(elements, fetched);
  ASSERT_EQ(static_cast<LONG>(fetched), count);
  EXPECT_EQ(all[0], L"ASouza");
  EXPECT_EQ(std::vector<std::wstring>(all.begin() + 1, all.begin() + 3), second);
  EXPECT_EQ(all[4], L"<empty>");  // cn=Oculto: the account may not read it
  EXPECT_EQ(all[5], L"");         // the contact: no user interface
  EXPECT_EQ(all[6], L"");         // the nested group

  // The clone goes on from where the original was when it was made.
  ASSERT_EQ(copy->Next(1, elements, &fetched), S_OK);
  EXPECT_EQ(logons(elements, fetched), std::vector<std::wstring>{all[3]});
  EXPECT_EQ(copy->Skip(100), S_FALSE);
  EXPECT_EQ(copy->Next(1, elements, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);

  copy->Release();
  enumerator->Release();
  unknown->Release();
  members->Release();
  group->Release();
  EXPECT_EQ(providerCanUnload(), S_OK);
}

TEST_F(AdsiProvider, FailuresCarryTheHresultsOfAdsi) {
  IADs* object = nullptr;
  EXPECT_EQ(open(L"CN=Nobody,OU=Users,dc=kelvasync,dc=test", IID_IADs, reinterpret_cast<void**>(&object)),
            static_cast<HRESULT>(0x80072030));
  EXPECT_EQ(object, nullptr);
  const std::wstring wrong = L"LDAP://" + server();
  EXPECT_EQ(ADsOpenObject(wrong.c_str(), kAccount, L"errada", ADS_SECURE_AUTHENTICATION, IID_IADs,
                          reinterpret_cast<void**>(&object)),
            static_cast<HRESULT>(0x8007052E));
  EXPECT_EQ(ADsOpenObject(wrong.c_str(), kAccount, L"", ADS_SECURE_AUTHENTICATION, IID_IADs,
                          reinterpret_cast<void**>(&object)),
            static_cast<HRESULT>(0x8007052E));  // no unauthenticated bind

  ASSERT_EQ(open(L"CN=Ana Souza,OU=Users,dc=kelvasync,dc=test", IID_IADs, reinterpret_cast<void**>(&object)), S_OK);
  BSTR name = SysAllocString(L"mail");
  VARIANT value;
  VariantInit(&value);
  EXPECT_EQ(object->Get(name, &value), static_cast<HRESULT>(0x8000500D));
  EXPECT_EQ(V_VT(&value), VT_EMPTY);
  SysFreeString(name);
  name = SysAllocString(L"objectClass");
  ASSERT_EQ(object->GetEx(name, &value), S_OK);
  EXPECT_EQ(V_VT(&value), VT_ARRAY | VT_VARIANT);
  VariantClear(&value);
  SysFreeString(name);
  void* group = nullptr;
  EXPECT_EQ(object->QueryInterface(IID_IADsGroup, &group), E_NOINTERFACE);
  EXPECT_EQ(group, nullptr);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(providerCanUnload(), S_OK);
}

TEST_F(AdsiProvider, SearchesPageByPageAndNamesEntriesAsTheServerDoes) {
  IDirectorySearch* search = nullptr;
  ASSERT_EQ(open(L"DC=kelvasync,DC=test", IID_IDirectorySearch, reinterpret_cast<void**>(&search)), S_OK);
  ADS_SEARCHPREF_INFO preferences[3] = {};
  preferences[0].dwSearchPref = ADS_SEARCHPREF_PAGESIZE;
  preferences[0].vValue.dwType = ADSTYPE_INTEGER;
  preferences[0].vValue.Integer = 2;  // six entries: three pages
  preferences[1].dwSearchPref = ADS_SEARCHPREF_TIMEOUT;
  preferences[1].vValue.dwType = ADSTYPE_INTEGER;
  preferences[1].vValue.Integer = 30;
  preferences[2].dwSearchPref = ADS_SEARCHPREF_SORT_ON;  // not served
  preferences[2].vValue.dwType = ADSTYPE_INTEGER;
  EXPECT_EQ(search->SetSearchPreference(preferences, 3), S_ADS_ERRORSOCCURRED);
  EXPECT_EQ(preferences[0].dwStatus, ADS_STATUS_S_OK);
  EXPECT_EQ(preferences[2].dwStatus, ADS_STATUS_INVALID_SEARCHPREF);

  wchar_t* names[] = {const_cast<wchar_t*>(L"distinguishedName"), const_cast<wchar_t*>(L"sAMAccountName")};
  ADS_SEARCH_HANDLE handle = nullptr;
  ASSERT_EQ(search->ExecuteSearch(const_cast<wchar_t*>(L"(memberOf=CN=Tessel,OU=Groups,DC=kelvasync,DC=test)"),
                                  names, 2, &handle),
            S_OK);
  std::set<std::wstring> found;
  HRESULT hr;
  ADS_SEARCH_COLUMN column;
  while ((hr = search->GetNextRow(handle)) == S_OK) {
    ASSERT_EQ(search->GetColumn(handle, names[0], &column), S_OK);
    ASSERT_EQ(column.dwADsType, ADSTYPE_DN_STRING);
    ASSERT_EQ(column.dwNumValues, 1u);
    found.insert(column.pADsValues[0].DNString);
    EXPECT_EQ(search->FreeColumn(&column), S_OK);
  }
  EXPECT_EQ(hr, S_ADS_NOMORE_ROWS);
  EXPECT_EQ(search->GetNextRow(handle), S_ADS_NOMORE_ROWS);
  // The readable entries whose memberOf names the group, as the server
  // spells them; cn=Oculto is out of the account's sight.
  EXPECT_EQ(found.size(), 6u);
  EXPECT_EQ(found.count(L"cn=Ana Souza,ou=Users,dc=kelvasync,dc=test"), 1u);
  EXPECT_EQ(found.count(L"cn=Subgrupo,ou=Groups,dc=kelvasync,dc=test"), 1u);
  EXPECT_EQ(search->CloseSearchHandle(handle), S_OK);

  // An abandoned search ends; a column the entry lacks is not set.
  ASSERT_EQ(search->ExecuteSearch(const_cast<wchar_t*>(L"(cn=Subgrupo)"), names, 2, &handle), S_OK);
  ASSERT_EQ(search->GetNextRow(handle), S_OK);
  EXPECT_EQ(search->GetColumn(handle, names[1], &column), E_ADS_COLUMN_NOT_SET);
  EXPECT_EQ(search->AbandonSearch(handle), S_OK);
  EXPECT_EQ(search->GetNextRow(handle), S_ADS_NOMORE_ROWS);
  EXPECT_EQ(search->CloseSearchHandle(handle), S_OK);
  EXPECT_EQ(search->Release(), 0u);
  EXPECT_EQ(providerCanUnload(), S_OK);

  // Get("distinguishedName") gives the server's spelling, not the path's.
  IADs* object = nullptr;
  ASSERT_EQ(open(L"CN=Ana Souza,OU=Users,DC=kelvasync,DC=test", IID_IADs, reinterpret_cast<void**>(&object)), S_OK);
  BSTR name = SysAllocString(L"distinguishedName");
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(object->Get(name, &value), S_OK);
  EXPECT_EQ(std::wstring(V_BSTR(&value)), L"cn=Ana Souza,ou=Users,dc=kelvasync,dc=test");
  VariantClear(&value);
  SysFreeString(name);
  object->Release();
}

// A group of 3,200 members from a server that gives at most 1,500 values per
// answer, as Active Directory does: every range is asked for in turn and
// the values keep their order; a server that names the wrong range, or a
// failed request, fails the read instead of shortening the group.
TEST(MemberRanges, AreReadToTheLastRange) {
  std::vector<std::wstring> all;
  for (int i = 0; i < 3200; ++i) all.push_back(L"cn=m" + std::to_wstring(i));
  const auto answerFrom = [&](long long low, long long shift, kvtest::Attributes& answer) {
    const long long high = low + 1499 < 3199 ? low + 1499 : -1;
    answer[L"member;range=" + std::to_wstring(low + shift) + L"-" + (high < 0 ? L"*" : std::to_wstring(high))] =
        std::vector<std::wstring>(all.begin() + low, high < 0 ? all.end() : all.begin() + high + 1);
  };
  kvtest::Attributes first;
  answerFrom(0, 0, first);
  first[L"cn"] = {L"Grande"};
  std::vector<long long> asked;
  ASSERT_EQ(kvtest::completeMemberRanges(first,
                                         [&](long long low, kvtest::Attributes& answer) {
                                           asked.push_back(low);
                                           answerFrom(low, 0, answer);
                                           return S_OK;
                                         }),
            S_OK);
  EXPECT_EQ(asked, (std::vector<long long>{1500, 3000}));
  EXPECT_EQ(first[L"member"], all);
  EXPECT_EQ(first.size(), 2u);  // cn and member, no range left behind

  // A server that answers every request with the first range again.
  kvtest::Attributes repeated;
  answerFrom(0, 0, repeated);
  int calls = 0;
  EXPECT_EQ(kvtest::completeMemberRanges(repeated,
                                         [&](long long, kvtest::Attributes& answer) {
                                           ++calls;
                                           answerFrom(0, 0, answer);
                                           return S_OK;
                                         }),
            kvtest::kBadRange);
  EXPECT_EQ(calls, 1);
  kvtest::Attributes failing;
  answerFrom(0, 0, failing);
  EXPECT_EQ(kvtest::completeMemberRanges(failing, [](long long, kvtest::Attributes&) { return E_ABORT; }), E_ABORT);

  // A server without ranges (slapd) hands the whole attribute at once.
  kvtest::Attributes whole = {{L"member", all}};
  EXPECT_EQ(kvtest::completeMemberRanges(whole, [](long long, kvtest::Attributes&) { return E_FAIL; }), S_OK);
  EXPECT_EQ(whole[L"member"].size(), 3200u);
}

// KVTEST_LDAP_TRANSPORT picks how the provider talks to the server, and no
// answer is awaited for ever: a bind the server never answers, and a search
// after a bind it did answer (wldap32 ignores the time limit of its own
// synchronous search), each end in "server down" after KVTEST_LDAP_TIMEOUT;
// a TLS handshake that stalls after StartTLS ends the bind in a time-out.
TEST_F(AdsiProvider, TransportsAndTimeOuts) {
  const std::wstring ldaps = environment("KVTEST_LDAPS_SERVER");
  const std::wstring silent = environment("KVTEST_SILENT_SERVER");
  ASSERT_FALSE(ldaps.empty() || silent.empty()) << "KVTEST_LDAPS_SERVER and KVTEST_SILENT_SERVER are needed";
  const std::wstring before = environment("KVTEST_LDAP_TRANSPORT");
  const auto bind = [](const wchar_t* transport, const std::wstring& where, const wchar_t* account) {
    SetEnvironmentVariableW(L"KVTEST_LDAP_TRANSPORT", transport);
    IADs* object = nullptr;
    const std::wstring path = L"LDAP://" + where;
    const HRESULT hr =
        ADsOpenObject(path.c_str(), account, kPassword, ADS_SECURE_AUTHENTICATION, IID_IADs, reinterpret_cast<void**>(&object));
    if (object != nullptr) object->Release();
    return hr;
  };
  constexpr HRESULT kServerDown = static_cast<HRESULT>(0x8007203A);
  EXPECT_EQ(bind(L"plain", server(), kAccount), S_OK);
  EXPECT_EQ(bind(nullptr, server(), kAccount), S_OK);  // StartTLS
  EXPECT_EQ(bind(L"LDAPS", ldaps, kAccount), S_OK);
  EXPECT_EQ(bind(L"tls", server(), kAccount), E_INVALIDARG);

  SetEnvironmentVariableW(L"KVTEST_LDAP_TIMEOUT", L"2");
  EXPECT_EQ(bind(L"plain", ldaps, kAccount), kServerDown);  // a bind in clear to the LDAPS port
  EXPECT_EQ(bind(L"plain", silent, kAccount), kServerDown);
  EXPECT_EQ(bind(L"plain", silent, L"cn=answered"), kServerDown);
  SetEnvironmentVariableW(L"KVTEST_LDAP_TIMEOUT", nullptr);
  EXPECT_EQ(providerCanUnload(), S_OK);

  // StartTLS answered and the handshake stalled: the bind gives up at the
  // bound. The connection stays with the stuck call, and keeps the DLL
  // loaded, until that call returns (under Wine 8 it does not, not even when
  // the peer closes the connection), so this comes last.
  SetEnvironmentVariableW(L"KVTEST_LDAP_TIMEOUT", L"2");
  const ULONGLONG started = GetTickCount64();
  EXPECT_EQ(bind(nullptr, silent, kAccount), static_cast<HRESULT>(0x800705B4));
  EXPECT_LT(GetTickCount64() - started, 6000u);
  EXPECT_EQ(providerCanUnload(), S_FALSE);
  SetEnvironmentVariableW(L"KVTEST_LDAP_TIMEOUT", nullptr);
  SetEnvironmentVariableW(L"KVTEST_LDAP_TRANSPORT", before.empty() ? nullptr : before.c_str());
}

}  // namespace
