// MD5 through CryptoAPI, the Windows side of platform/digest.h.
#include <windows.h>
#include <wincrypt.h>

#include <atomic>
#include <cstring>

#include "platform/digest.h"

namespace platform {

namespace {

// One verify-only context (no key container is opened or created) for the
// life of the process. Acquiring one loads and starts the provider: under
// Wine that costs several milliseconds, once per member of the group when
// taken for each digest. A provider handle serves any number of threads;
// each digest has a hash object of its own. A failed acquisition is tried
// again by the next digest.
std::atomic<HCRYPTPROV> sharedProvider{0};

HCRYPTPROV md5Provider() {
  HCRYPTPROV provider = sharedProvider.load();
  if (provider != 0) return provider;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET)) {
    return 0;
  }
  HCRYPTPROV expected = 0;
  if (!sharedProvider.compare_exchange_strong(expected, provider)) {
    CryptReleaseContext(provider, 0);  // another thread's is kept
    return expected;
  }
  return provider;
}

}  // namespace

bool md5Digest(std::string_view bytes, Md5Digest& digest) {
  digest.fill(0);
  const HCRYPTPROV provider = md5Provider();
  if (provider == 0) return false;
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) return false;
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
  if (ok) std::memcpy(digest.data(), buffer, digest.size());
  return ok;
}

}  // namespace platform
