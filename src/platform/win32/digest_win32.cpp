// MD5 through CryptoAPI, the Windows side of platform/digest.h.
#include <windows.h>
#include <wincrypt.h>

#include <cstring>

#include "platform/digest.h"

namespace platform {

bool md5Digest(std::string_view bytes, Md5Digest& digest) {
  digest.fill(0);
  // A verify-only context: no key container is opened or created.
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET)) {
    return false;
  }
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
    CryptReleaseContext(provider, 0);
    return false;
  }
  // CryptHashData takes a DWORD length; a logon is far below that, but a
  // longer input is hashed in slices rather than cut.
  bool ok = true;
  const char* data = bytes.data();
  size_t remaining = bytes.size();
  do {
    const DWORD slice = remaining > 0x40000000u ? 0x40000000u : static_cast<DWORD>(remaining);
    if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(data), slice, 0)) {
      ok = false;
      break;
    }
    data += slice;
    remaining -= slice;
  } while (remaining > 0);

  BYTE buffer[128] = {};
  DWORD length = static_cast<DWORD>(digest.size());
  if (ok && (!CryptGetHashParam(hash, HP_HASHVAL, buffer, &length, 0) || length != digest.size())) ok = false;
  CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  if (ok) std::memcpy(digest.data(), buffer, digest.size());
  return ok;
}

}  // namespace platform
