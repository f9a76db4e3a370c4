// Sealed passwords on Windows: DPAPI.
#include "platform/sealed_secret.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

#include "common/text.h"

namespace platform {

namespace {

// Entropy that ties a blob to this program: another program's DPAPI blob
// pasted into the INI does not open, nor does ours in another program
// without it.
constexpr char kEntropy[] = "kelvasync pwd";

DATA_BLOB entropyBlob() {
  DATA_BLOB blob;
  blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(kEntropy));
  blob.cbData = sizeof kEntropy - 1;
  return blob;
}

std::string hexCode(DWORD code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

}  // namespace

SealedSecretResult openSealedSecret(std::string_view value, std::string& secret) {
  secret.clear();
  SealedSecretResult result;
  if (startsWithNoCase(value, kCredentialPrefix)) {
    result.fault = SealedSecretFault::OtherSystemsForm;
    return result;
  }
  std::string base64;
  for (char c : value.substr(kDpapiPrefix.size()))
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') base64 += c;
  DWORD size = 0;
  if (base64.empty() ||
      !CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, nullptr, &size,
                            nullptr, nullptr) ||
      size == 0) {
    result.fault = SealedSecretFault::NotBase64;
    return result;
  }
  std::vector<BYTE> sealed(size);
  if (!CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, sealed.data(),
                            &size, nullptr, nullptr)) {
    result.fault = SealedSecretFault::NotBase64;
    return result;
  }
  DATA_BLOB in;
  in.pbData = sealed.data();
  in.cbData = size;
  DATA_BLOB entropy = entropyBlob();
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    result.fault = SealedSecretFault::NotThisMachine;
    result.detail = hexCode(GetLastError());
    return result;
  }
  if (out.cbData == 0) {
    result.fault = SealedSecretFault::Empty;
  } else if (out.cbData > kMaxSealedSecretBytes) {
    result.fault = SealedSecretFault::TooLong;
  } else {
    for (DWORD i = 0; i < out.cbData; ++i)
      if (out.pbData[i] == 0) result.fault = SealedSecretFault::ZeroByte;
  }
  if (result.ok()) secret.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
  SecureZeroMemory(out.pbData, out.cbData);
  LocalFree(out.pbData);
  return result;
}

SealedSecretResult sealWithDpapi(const std::string& secret, bool machineScope, std::string& value) {
  value.clear();
  SealedSecretResult result;
  DATA_BLOB in;
  in.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(secret.data()));
  in.cbData = static_cast<DWORD>(secret.size());
  DATA_BLOB entropy = entropyBlob();
  DATA_BLOB out{};
  const DWORD flags = CRYPTPROTECT_UI_FORBIDDEN | (machineScope ? CRYPTPROTECT_LOCAL_MACHINE : 0);
  if (!CryptProtectData(&in, L"kelvasync", &entropy, nullptr, nullptr, flags, &out)) {
    result.fault = SealedSecretFault::SealFailed;
    result.detail = "CryptProtectData " + hexCode(GetLastError());
    return result;
  }
  DWORD length = 0;
  bool ok = CryptBinaryToStringA(out.pbData, out.cbData, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, nullptr, &length);
  std::vector<char> text(ok ? length : 0);
  ok = ok && CryptBinaryToStringA(out.pbData, out.cbData, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, text.data(),
                                  &length);
  LocalFree(out.pbData);
  if (!ok) {
    result.fault = SealedSecretFault::SealFailed;
    result.detail = "CryptBinaryToString " + hexCode(GetLastError());
    return result;
  }
  value.assign(kDpapiPrefix);
  for (DWORD i = 0; i < length && text[i] != '\0'; ++i)
    if (text[i] != '\r' && text[i] != '\n') value += text[i];
  return result;
}

SealedSecretResult sealSystemdCredential(const std::string&, const std::string&, std::string& dropIn) {
  dropIn.clear();
  return {SealedSecretFault::NotOnThisSystem, {}, false};
}

}  // namespace platform
