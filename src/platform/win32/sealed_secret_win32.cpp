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

bool openSealedSecret(std::string_view value, std::string& secret, std::u16string& cause, bool* readableByOthers) {
  secret.clear();
  if (readableByOthers != nullptr) *readableByOthers = false;  // a DPAPI blob is no file
  if (startsWithNoCase(value, kCredentialPrefix)) {
    cause = u"o valor credential: eh uma credencial do systemd e nao existe no Windows; use dpapi: "
            u"(kelvasync-passwd --dpapi) ou o valor de kelvasync-passwd";
    return false;
  }
  std::string base64;
  for (char c : value.substr(kDpapiPrefix.size()))
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') base64 += c;
  DWORD size = 0;
  if (base64.empty() ||
      !CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, nullptr, &size,
                            nullptr, nullptr) ||
      size == 0) {
    cause = u"o valor dpapi: nao eh um texto base64 valido; gere-o de novo com kelvasync-passwd --dpapi";
    return false;
  }
  std::vector<BYTE> sealed(size);
  if (!CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, sealed.data(),
                            &size, nullptr, nullptr)) {
    cause = u"o valor dpapi: nao eh um texto base64 valido; gere-o de novo com kelvasync-passwd --dpapi";
    return false;
  }
  DATA_BLOB in;
  in.pbData = sealed.data();
  in.cbData = size;
  DATA_BLOB entropy = entropyBlob();
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    const DWORD error = GetLastError();
    cause = asciiToUtf16("a senha selada (dpapi:) nao pode ser aberta nesta maquina por esta conta (" +
                         hexCode(error) +
                         "): foi selada em outra maquina ou para outra conta. Sele-a de novo nesta maquina com "
                         "kelvasync-passwd --dpapi");
    return false;
  }
  bool ok = out.cbData > 0 && out.cbData <= kMaxSealedSecretBytes;
  for (DWORD i = 0; ok && i < out.cbData; ++i) ok = out.pbData[i] != 0;
  if (ok) {
    secret.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
  } else {
    cause = u"a senha selada (dpapi:) abre, mas estah vazia, eh longa demais ou contem um byte zero";
  }
  SecureZeroMemory(out.pbData, out.cbData);
  LocalFree(out.pbData);
  return ok;
}

bool sealWithDpapi(const std::string& secret, bool machineScope, std::string& value, std::string& error) {
  value.clear();
  DATA_BLOB in;
  in.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(secret.data()));
  in.cbData = static_cast<DWORD>(secret.size());
  DATA_BLOB entropy = entropyBlob();
  DATA_BLOB out{};
  const DWORD flags = CRYPTPROTECT_UI_FORBIDDEN | (machineScope ? CRYPTPROTECT_LOCAL_MACHINE : 0);
  if (!CryptProtectData(&in, L"kelvasync", &entropy, nullptr, nullptr, flags, &out)) {
    error = "CryptProtectData falhou (" + hexCode(GetLastError()) + ")";
    return false;
  }
  DWORD length = 0;
  bool ok = CryptBinaryToStringA(out.pbData, out.cbData, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, nullptr, &length);
  std::vector<char> text(ok ? length : 0);
  ok = ok && CryptBinaryToStringA(out.pbData, out.cbData, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, text.data(),
                                  &length);
  LocalFree(out.pbData);
  if (!ok) {
    error = "CryptBinaryToString falhou (" + hexCode(GetLastError()) + ")";
    return false;
  }
  value.assign(kDpapiPrefix);
  for (DWORD i = 0; i < length && text[i] != '\0'; ++i)
    if (text[i] != '\r' && text[i] != '\n') value += text[i];
  return true;
}

bool sealSystemdCredential(const std::string&, const std::string&, std::string& dropIn, std::string& error) {
  dropIn.clear();
  error = "credenciais do systemd existem so no Linux; neste sistema use --dpapi";
  return false;
}

}  // namespace platform
