// MD5 of a short logon through CryptoAPI, N times: with a verify-only
// context acquired and released for each digest (as md5Digest did), and
// with one context kept for all. Prints the time of each way.
//
//   md5_context [DIGESTS]   (default 2000)
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

bool digestWith(HCRYPTPROV provider) {
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) return false;
  BYTE value[16];
  DWORD length = sizeof value;
  const bool ok = CryptHashData(hash, reinterpret_cast<const BYTE*>("asouza"), 6, 0) &&
                  CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0);
  CryptDestroyHash(hash);
  return ok;
}

constexpr DWORD kFlags = CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET;

}  // namespace

int main(int argc, char** argv) {
  const long digests = argc > 1 ? std::max(1L, std::atol(argv[1])) : 2000;
  ULONGLONG start = GetTickCount64();
  for (long i = 0; i < digests; ++i) {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, kFlags)) return 1;
    const bool ok = digestWith(provider);
    CryptReleaseContext(provider, 0);
    if (!ok) return 1;
  }
  const ULONGLONG each = GetTickCount64() - start;
  HCRYPTPROV kept = 0;
  if (!CryptAcquireContextW(&kept, nullptr, nullptr, PROV_RSA_FULL, kFlags)) return 1;
  start = GetTickCount64();
  for (long i = 0; i < digests; ++i) {
    if (!digestWith(kept)) return 1;
  }
  const ULONGLONG once = GetTickCount64() - start;
  CryptReleaseContext(kept, 0);
  std::printf("%ld digests: a context each %llu ms, one context %llu ms\n", digests, each, once);
  return 0;
}
