// The frames of a user listing (kv_wire.h): the emulator's encoder splits a
// listing of any size into frames within the limit, and the client's reader
// takes them back whole while refusing every frame that breaks the rules.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "kv_wire.h"
#include "pelorlib.h"

namespace {

using Step = kvwire::ListingReader::Step;

std::vector<std::vector<uint8_t>> framesOf(const std::vector<std::string>& names) {
  std::vector<uint8_t> stream;
  kvwire::appendListingFrames(names, [](const std::string& n) { return std::string_view(n); },
                              stream);
  std::vector<std::vector<uint8_t>> bodies;
  size_t at = 0;
  while (at < stream.size()) {
    const uint32_t length = kvwire::getU32(stream.data() + at);
    bodies.emplace_back(stream.begin() + static_cast<long>(at + 4),
                        stream.begin() + static_cast<long>(at + 4 + length));
    at += 4 + length;
  }
  EXPECT_EQ(at, stream.size());
  return bodies;
}

// Feeds the bodies in turn; returns the last step and the names gathered.
Step feed(const std::vector<std::vector<uint8_t>>& bodies, std::vector<std::string>* names = nullptr) {
  kvwire::ListingReader reader(KV_USER_NAME_MAX);
  Step step = Step::Malformed;
  for (size_t i = 0; i < bodies.size(); ++i) {
    // An exact copy, so a sanitizer sees any over-read.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bodies[i].size() + 1]);
    std::copy(bodies[i].begin(), bodies[i].end(), exact.get());
    step = reader.take(exact.get(), bodies[i].size());
    if (step != Step::More) {
      if (step == Step::Done) {
        EXPECT_EQ(i + 1, bodies.size()) << "the listing ended early";
      }
      break;
    }
  }
  if (names != nullptr && step == Step::Done) {
    names->clear();
    const std::string& all = reader.names();
    size_t at = 0;
    for (uint32_t i = 0; i < reader.count(); ++i) {
      const size_t end = all.find('\0', at);
      names->push_back(all.substr(at, end - at));
      at = end + 1;
    }
  }
  return step;
}

std::vector<uint8_t> body(kvwire::Writer& w) {
  const auto& f = w.frame();
  return std::vector<uint8_t>(f.begin() + 4, f.end());
}

TEST(Listing, ALargeListingIsSplitIntoFramesWithinTheLimitAndComesBackWhole) {
  std::vector<std::string> names;
  for (int i = 0; i < 150000; ++i) names.push_back("A" + std::to_string(1000000 + i) + "abcdefg");
  names.push_back(std::string(KV_USER_NAME_MAX, 'z'));
  const auto bodies = framesOf(names);
  ASSERT_GT(bodies.size(), 30u);
  for (const auto& b : bodies) {
    EXPECT_LE(b.size(), 12 + kvwire::kListChunkBytes);
    EXPECT_LE(b.size(), kvwire::kMaxFrameBody);
  }
  std::vector<std::string> back;
  ASSERT_EQ(feed(bodies, &back), Step::Done);
  EXPECT_EQ(back, names);
}

TEST(Listing, AnEmptyOrSmallListingIsOneFrame) {
  std::vector<std::string> back{"x"};
  const auto empty = framesOf({});
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(feed(empty, &back), Step::Done);
  EXPECT_TRUE(back.empty());
  const auto small = framesOf({"master", "IntegracaoAD"});
  ASSERT_EQ(small.size(), 1u);
  EXPECT_EQ(feed(small, &back), Step::Done);
  EXPECT_EQ(back, (std::vector<std::string>{"master", "IntegracaoAD"}));
}

TEST(Listing, ARefusalIsABareCodeInTheFirstFrameOnly) {
  kvwire::ListingReader reader(KV_USER_NAME_MAX);
  const auto refused = body(kvwire::Writer().u32(KV_ERR_ACCESS_DENIED));
  EXPECT_EQ(reader.take(refused.data(), refused.size()), Step::Refused);
  EXPECT_EQ(reader.code(), static_cast<uint32_t>(KV_ERR_ACCESS_DENIED));

  auto first = body(kvwire::Writer().u32(0).u32(2).u32(1).str("a"));
  EXPECT_EQ(feed({first, refused}), Step::Malformed);  // a code after the first frame
  EXPECT_EQ(feed({body(kvwire::Writer().u32(KV_ERR_ACCESS_DENIED).u32(0))}), Step::Malformed);
}

TEST(Listing, HostileOrCorruptFramesAreRefused) {
  using W = kvwire::Writer;
  const std::vector<std::vector<std::vector<uint8_t>>> bad = {
      {{}},                                                          // nothing at all
      {{0, 0}},                                                      // a cut code
      {body(W().u32(0).u32(1))},                                     // no n
      {body(W().u32(0).u32(kvwire::kMaxListedUsers + 1).u32(1).str("a"))},  // absurd total
      {body(W().u32(0).u32(0xFFFFFFFFu).u32(1).str("a"))},
      {body(W().u32(0).u32(1).u32(2).str("a").str("b"))},           // more than the total
      {body(W().u32(0).u32(2).u32(0))},                             // an empty frame inside
      {body(W().u32(0).u32(2).u32(1).str("a")), body(W().u32(0).u32(3).u32(1).str("b"))},  // total changes
      {body(W().u32(0).u32(3).u32(2).str("a").str("b")),
       body(W().u32(0).u32(3).u32(2).str("c").str("d"))},           // past the total later
      {body(W().u32(0).u32(1).u32(1).str(std::string(KV_USER_NAME_MAX + 1, 'a')))},  // long name
      {body(W().u32(0).u32(1).u32(1).str(std::string("a\0b", 3)))},  // NUL inside
      {body(W().u32(0).u32(1).u32(1).str("a").u8(0))},              // bytes left over
      {body(W().u32(0).u32(2).u32(2).str("a"))},                    // names cut short
      {body(W().u32(0).u32(0).u32(0).u8(1))},                       // empty listing with more
  };
  for (size_t i = 0; i < bad.size(); ++i) EXPECT_EQ(feed(bad[i]), Step::Malformed) << "case " << i;

  // After a malformed frame the reader takes nothing more.
  kvwire::ListingReader reader(KV_USER_NAME_MAX);
  const auto wrong = body(W().u32(0).u32(1).u32(2).str("a").str("b"));
  const auto right = body(W().u32(0).u32(1).u32(1).str("a"));
  EXPECT_EQ(reader.take(wrong.data(), wrong.size()), Step::Malformed);
  EXPECT_EQ(reader.take(right.data(), right.size()), Step::Malformed);
}

TEST(Listing, ARandomlyDamagedListingIsNeverTakenForSomethingElse) {
  std::vector<std::string> names;
  for (int i = 0; i < 20000; ++i) names.push_back("U" + std::to_string(i));
  const auto bodies = framesOf(names);
  ASSERT_GE(bodies.size(), 2u);
  uint32_t seed = 12345;
  for (int round = 0; round < 2000; ++round) {
    auto damaged = bodies;
    seed = seed * 1103515245u + 12345u;
    auto& b = damaged[(seed >> 8) % damaged.size()];
    seed = seed * 1103515245u + 12345u;
    const size_t at = (seed >> 4) % b.size();
    seed = seed * 1103515245u + 12345u;
    if (round % 3 == 0) b.resize(at);  // cut short
    else b[at] ^= static_cast<uint8_t>(1u + (seed >> 16) % 255u);
    std::vector<std::string> back;
    const Step step = feed(damaged, &back);
    // A flip inside a name may still give a well-formed listing; then it has
    // the same number of names, each within the rules.
    if (step == Step::Done) {
      EXPECT_EQ(back.size(), names.size());
    } else {
      EXPECT_TRUE(step == Step::Malformed || step == Step::More) << "round " << round;
    }
  }
}

}  // namespace
