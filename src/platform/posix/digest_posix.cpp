// MD5 through OpenSSL's libcrypto (EVP), the Linux side of platform/digest.h.
#include <openssl/evp.h>

#include <memory>

#include "platform/digest.h"

namespace platform {

namespace {

// Fetched once: letting each digest fetch the algorithm again costs more
// than the digest of a logon name itself.
const EVP_MD* md5Algorithm() {
  static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "MD5", nullptr);
  return algorithm;
}

}  // namespace

bool md5Digest(std::string_view bytes, Md5Digest& digest) {
  digest.fill(0);
  if (md5Algorithm() == nullptr) return false;
  // One context per thread, initialised anew for each digest.
  thread_local const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                                     &EVP_MD_CTX_free);
  if (!context) return false;
  unsigned int length = 0;
  Md5Digest result{};
  if (EVP_DigestInit_ex(context.get(), md5Algorithm(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), result.data(), &length) != 1 || length != result.size()) {
    return false;
  }
  digest = result;
  return true;
}

}  // namespace platform
