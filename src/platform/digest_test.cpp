#include "platform/digest.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::string hexOf(const platform::Md5Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : digest) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  return hex;
}

std::string md5Hex(const std::string& bytes) {
  platform::Md5Digest digest{};
  EXPECT_TRUE(platform::md5Digest(bytes, digest));
  return hexOf(digest);
}

// The test suite of RFC 1321, appendix A.5.
TEST(DigestTest, Rfc1321TestSuite) {
  EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(md5Hex("1234567890123456789012345678901234567890123456789012345678901234567890123456789"
                   "0"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(DigestTest, BytesAfterZeroAndAboveAsciiAreHashed) {
  // Expected digests computed apart from this code base.
  EXPECT_EQ(md5Hex(std::string("a\0b", 3)), "70350f6027bce3713f6b76473084309b");
  EXPECT_EQ(md5Hex("jo\xe3o"), "2aabc2a414d95bc020c07901cb628197");
  EXPECT_EQ(md5Hex(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(DigestTest, ConcurrentCallsShareNothing) {
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&results, t] {
      for (int i = 0; i < 200; ++i) results[t] = md5Hex("message digest");
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, "f96b697d7cb7938d525a2f31aaf161d0");
}

}  // namespace
