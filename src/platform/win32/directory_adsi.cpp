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

#include "platform/directory.h"

namespace platform {

namespace {

IUnknown* unknown(DirectoryRef ref) { return reinterpret_cast<IUnknown*>(ref); }
DirectoryRef toRef(IUnknown* object) { return reinterpret_cast<DirectoryRef>(object); }
const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

int32_t adsiInitialize() { return static_cast<int32_t>(CoInitialize(nullptr)); }
void adsiUninitialize() { CoUninitialize(); }

int32_t adsiOpenObject(const std::u16string& path, const std::u16string& user, const std::u16string& password,
                       DirectoryRef* object) {
  *object = nullptr;
  IADs* bound = nullptr;
  const HRESULT hr = ADsOpenObject(wide(path), wide(user), wide(password), ADS_SECURE_AUTHENTICATION, IID_IADs,
                                   reinterpret_cast<void**>(&bound));
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

int32_t adsiQueryUser(DirectoryRef element, DirectoryRef* user) { return queryInterface(element, IID_IADsUser, user); }

int32_t adsiGetAttribute(DirectoryRef user, const std::u16string& name, std::u16string* value) {
  BSTR attribute = SysAllocString(wide(name));
  if (attribute == nullptr) return static_cast<int32_t>(E_OUTOFMEMORY);
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = reinterpret_cast<IADsUser*>(user)->Get(attribute, &result);
  SysFreeString(attribute);
  if (SUCCEEDED(hr)) {
    if (V_VT(&result) == VT_BSTR) {
      const BSTR text = V_BSTR(&result);
      value->assign(reinterpret_cast<const char16_t*>(text), text != nullptr ? SysStringLen(text) : 0);
    } else {
      hr = DISP_E_TYPEMISMATCH;  // not a single string value
    }
  }
  VariantClear(&result);
  return static_cast<int32_t>(hr);
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
    adsiInitialize, adsiUninitialize,     adsiOpenObject, adsiGetPath,   adsiQueryGroup,   adsiMembers,
    adsiNewEnum,    adsiQueryEnumVariant, adsiNext,       adsiQueryUser, adsiGetAttribute, adsiRelease,
    adsiErrorText,
};

}  // namespace

const DirectoryApi& platformDirectoryApi() { return adsiApi; }

// ADSI tunes its own ranges, pages and time-outs.
void setDirectoryTuning(const DirectoryTuning&) {}

}  // namespace platform
