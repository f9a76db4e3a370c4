// The request decoder refuses everything that is not exactly one well-formed
// request, and never reads past its input.
#include "request.h"

#include <gtest/gtest.h>

#include <random>

#include "pelorlib.h"

namespace {

std::vector<uint8_t> body(kvwire::Writer& w) {
  const auto& f = w.frame();
  return std::vector<uint8_t>(f.begin() + 4, f.end());
}

std::optional<emulator::Request> decode(const std::vector<uint8_t>& b) {
  // A copy of exactly the right size, so a sanitizer sees any over-read.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[b.size() + 1]);
  std::copy(b.begin(), b.end(), exact.get());
  return emulator::decodeRequest(exact.get(), b.size());
}

std::vector<std::vector<uint8_t>> validBodies() {
  std::vector<std::vector<uint8_t>> all;
  auto add = [&](kvwire::Writer w) { all.push_back(body(w)); };
  const uint8_t bytes[] = {1, 2, 0, 3};
  add(kvwire::Writer().u8(1).u32(kvwire::kProtocolMagic).str("master").str("pw"));
  add(kvwire::Writer().u8(2));
  add(kvwire::Writer().u8(3).str("A0123456789abcd").str("p").u32(0x4F));
  add(kvwire::Writer().u8(4).str("someone"));
  add(kvwire::Writer().u8(5).u32(0x40).str("someone"));
  add(kvwire::Writer().u8(6).str("IntegracaoAD/addb"));
  add(kvwire::Writer().u8(7).str("addb").blob(bytes, sizeof bytes));
  add(kvwire::Writer().u8(8).str("addb"));
  add(kvwire::Writer().u8(9).str("addb").str("addb_backup"));
  add(kvwire::Writer().u8(10));
  add(kvwire::Writer().u8(32));
  return all;
}

TEST(HsmRequestDecoder, DecodesEveryOpcodeWithItsFields) {
  const auto all = validBodies();
  for (const auto& b : all) EXPECT_TRUE(decode(b).has_value()) << "opcode " << int(b[0]);
  auto login = decode(all[0]);
  EXPECT_EQ(login->op, kvwire::Op::Login);
  EXPECT_EQ(login->first, "master");
  EXPECT_EQ(login->second, "pw");
  auto create = decode(all[2]);
  EXPECT_EQ(create->first, "A0123456789abcd");
  EXPECT_EQ(create->number, 0x4Fu);
  auto write = decode(all[6]);
  EXPECT_EQ(write->first, "addb");
  EXPECT_EQ(write->data, (std::vector<uint8_t>{1, 2, 0, 3}));
  auto rename = decode(all[8]);
  EXPECT_EQ(rename->second, "addb_backup");
}

TEST(HsmRequestDecoder, RefusesEveryTruncationAndAnyTrailingByte) {
  for (const auto& b : validBodies()) {
    for (size_t n = 0; n < b.size(); ++n)
      EXPECT_FALSE(decode(std::vector<uint8_t>(b.begin(), b.begin() + n)).has_value())
          << "opcode " << int(b[0]) << " cut to " << n;
    auto longer = b;
    longer.push_back(0);
    EXPECT_FALSE(decode(longer).has_value()) << "opcode " << int(b[0]);
  }
}

TEST(HsmRequestDecoder, RefusesUnknownOpcodesWrongMagicAndBadStrings) {
  for (int op : {0, 11, 31, 33, 255}) {
    kvwire::Writer w;
    w.u8(static_cast<uint8_t>(op));
    EXPECT_FALSE(decode(body(w)).has_value()) << op;
  }
  kvwire::Writer magic;
  magic.u8(1).u32(0x12345678).str("master").str("pw");
  EXPECT_FALSE(decode(body(magic)).has_value());
  kvwire::Writer nul;
  nul.u8(4).str(std::string("ab\0c", 4));
  EXPECT_FALSE(decode(body(nul)).has_value());
  kvwire::Writer longUser;
  longUser.u8(4).str(std::string(KV_USER_NAME_MAX + 1, 'a'));
  EXPECT_FALSE(decode(body(longUser)).has_value());
  kvwire::Writer longName;
  longName.u8(6).str(std::string(KV_OBJECT_NAME_FIELD_SIZE, 'a'));
  EXPECT_FALSE(decode(body(longName)).has_value());
  kvwire::Writer fitting;
  fitting.u8(6).str(std::string(KV_OBJECT_NAME_FIELD_SIZE - 1, 'a'));
  EXPECT_TRUE(decode(body(fitting)).has_value());
}

TEST(HsmRequestDecoder, RefusesABlobLengthBeyondTheObjectLimitOrTheBody) {
  kvwire::Writer huge;
  huge.u8(7).str("x").u32(KV_MAX_OBJECT_SIZE + 1);
  EXPECT_FALSE(decode(body(huge)).has_value());
  kvwire::Writer lying;
  lying.u8(7).str("x").u32(0xFFFFFFFFu).u8(1);
  EXPECT_FALSE(decode(body(lying)).has_value());
}

TEST(HsmRequestDecoder, SurvivesRandomMutationsOfValidRequests) {
  std::mt19937 rng(12345);
  const auto all = validBodies();
  for (int round = 0; round < 20000; ++round) {
    auto b = all[rng() % all.size()];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !b.empty(); ++e) {
      switch (rng() % 3) {
        case 0: b[rng() % b.size()] = static_cast<uint8_t>(rng()); break;
        case 1: b.erase(b.begin() + static_cast<long>(rng() % b.size())); break;
        default: b.insert(b.begin() + static_cast<long>(rng() % (b.size() + 1)),
                          static_cast<uint8_t>(rng()));
      }
    }
    const auto r = decode(b);
    if (r) {
      EXPECT_LE(r->data.size(), b.size());
    }
  }
}

}  // namespace
