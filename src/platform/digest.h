// Platform seam: the MD5 digest (RFC 1321).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace platform {

using Md5Digest = std::array<uint8_t, 16>;

// Computes the MD5 digest of `bytes` (any length, zero included) into
// `digest`. False when the platform's cryptographic service failed; `digest`
// is then all zeros. Keeps no state between calls; safe from any thread.
//
// Windows: CryptoAPI (CryptAcquireContextW with PROV_RSA_FULL and
// CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET, CryptCreateHash with CALG_MD5,
// CryptHashData, CryptGetHashParam with HP_HASHVAL), every handle released on
// every path. Linux: OpenSSL's libcrypto through EVP.
bool md5Digest(std::string_view bytes, Md5Digest& digest);

}  // namespace platform
