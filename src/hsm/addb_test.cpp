// The addb text: what the writer produces, what the parser accepts, and the
// two callbacks that the client library drives, checked without an HSM.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "hsm/addb.h"

namespace {

GroupMember member(std::string id, std::string logon, std::string name) {
  return GroupMember{std::move(logon), std::move(name), std::move(id)};
}

std::string textOf(const AddbBuffer& buffer) { return std::string(buffer.text, buffer.length); }

// Drives a supplier the way the client library does: chunks of at most 4096
// bytes until all are in, then one request for 0 bytes that must end it.
std::string drainSupplier(AddbBuffer& buffer, uint32_t chunk = 4096) {
  std::string out;
  std::vector<uint8_t> piece(chunk);
  uint32_t missing = buffer.length;
  for (int guard = 0; guard < 100000; ++guard) {
    uint32_t count = std::min(chunk, missing);
    int32_t end = 0;
    EXPECT_EQ(supplyAddbChunk(piece.data(), &count, &buffer, &end), 0);
    if (missing == 0) {
      EXPECT_EQ(end, 1);
      return out;
    }
    EXPECT_EQ(end, 0);
    out.append(reinterpret_cast<const char*>(piece.data()), count);
    missing -= count;
  }
  ADD_FAILURE() << "the supplier never ended";
  return out;
}

// Delivers `object` to a receiving buffer in chunks, the last with the end flag.
void deliver(AddbReceiveBuffer& buffer, const std::string& object, size_t chunk = 4096) {
  size_t at = 0;
  do {
    const size_t n = std::min(chunk, object.size() - at);
    const bool last = at + n == object.size();
    EXPECT_EQ(appendAddbChunk(reinterpret_cast<const uint8_t*>(object.data() + at),
                              static_cast<uint32_t>(n), &buffer, last ? 1 : 0),
              0);
    at += n;
  } while (at < object.size());
}

TEST(AddbText, RecordsAreThreeCrLfEndedFieldsInListOrder) {
  auto buffer = std::make_unique<AddbBuffer>();
  const MemberList members = {member("A0123456789abcd", "jsilva", "J Silva"), member("", "", ""),
                              member("Afedcba98765432", "maria", "Maria \xE7")};
  EXPECT_EQ(fillAddbText(members, *buffer), 3u);
  EXPECT_EQ(textOf(*buffer),
            "A0123456789abcd\r\njsilva\r\nJ Silva\r\n\r\n\r\n\r\nAfedcba98765432\r\nmaria\r\nMaria \xE7\r\n");
  EXPECT_EQ(buffer->text[buffer->length], '\0');
  // 15 + 2 + 6 + 2 + 7 + 2 bytes for the first record.
  MemberList one = {members[0]};
  fillAddbText(one, *buffer);
  EXPECT_EQ(buffer->length, 34u);
}

TEST(AddbText, WrittenListsReadBackRecordForRecord) {
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    MemberList members(random() % 40);
    for (GroupMember& m : members) {
      auto field = [&](size_t maxLength) {
        std::string s(random() % (maxLength + 1), 'x');
        for (char& c : s) {
          c = static_cast<char>(random() % 256);
          if (c == '\r' || c == '\n' || c == '\0') c = 'z';
        }
        return s;
      };
      m = member(field(127), field(255), field(1023));
    }
    auto buffer = std::make_unique<AddbBuffer>();
    ASSERT_EQ(fillAddbText(members, *buffer), members.size());
    // Through the supplier, the receiver and the parser, as on the HSM.
    const std::string object = drainSupplier(*buffer, 1 + random() % 5000);
    EXPECT_EQ(object, textOf(*buffer));
    auto received = std::make_unique<AddbReceiveBuffer>();
    deliver(*received, object, 1 + random() % 5000);
    EXPECT_FALSE(received->overflowed);
    EXPECT_EQ(received->cursor, 0u);
    MemberList back;
    ASSERT_TRUE(parseAddbText(std::string_view(received->text, received->received), back));
    EXPECT_EQ(back, members);
  }
}

TEST(AddbText, FieldsThatWouldBreakTheFormatAreMadeSafe) {
  auto buffer = std::make_unique<AddbBuffer>();
  // A name narrowed from U+010D or U+010A carries a CR or LF byte.
  const MemberList members = {member("A0123456789abcd", std::string("a\0b", 3), "No\rv\nak"),
                              member(std::string(200, 'i'), std::string(300, 'l'), std::string(2000, 'c'))};
  ASSERT_EQ(fillAddbText(members, *buffer), 2u);
  MemberList back;
  ASSERT_TRUE(parseAddbText(textOf(*buffer), back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].logon, "a?b");
  EXPECT_EQ(back[0].commonName, "No?v?ak");
  EXPECT_EQ(back[1].hsmUserId, std::string(127, 'i'));
  EXPECT_EQ(back[1].logon, std::string(255, 'l'));
  EXPECT_EQ(back[1].commonName, std::string(1023, 'c'));
}

TEST(AddbText, TheWriterStopsBeforeTheFirstMemberThatDoesNotFitWhole) {
  // Records of 1,000 bytes: 65 fill 65,000 bytes; the 66th would need 66,001
  // with the terminator.
  const GroupMember big = member("A0123456789abcd", "logon", std::string(1000 - 15 - 5 - 6, 'n'));
  MemberList members(70, big);
  auto buffer = std::make_unique<AddbBuffer>();
  EXPECT_EQ(fillAddbText(members, *buffer), 65u);
  EXPECT_EQ(buffer->length, 65000u);
  MemberList back;
  ASSERT_TRUE(parseAddbText(textOf(*buffer), back));
  EXPECT_EQ(back.size(), 65u);

  // Exactly 65,535 bytes fit: 65 records of 1,006 bytes and one of 145.
  members.assign(65, member("", "", std::string(1000, 'c')));
  members.push_back(member("", "", std::string(139, 'c')));
  ASSERT_EQ(fillAddbText(members, *buffer), 66u);
  EXPECT_EQ(buffer->length, 65535u);
  // One byte more and the last member is left out whole.
  members.back().commonName.push_back('c');
  EXPECT_EQ(fillAddbText(members, *buffer), 65u);
  EXPECT_EQ(buffer->length, 65u * 1006u);
}

TEST(AddbParser, ReadsEmptyFieldsAndAppendsToTheList) {
  MemberList list = {member("x", "y", "z")};
  ASSERT_TRUE(parseAddbText("\r\n\r\n\r\nAb\r\nc\r\nd\r\n", list));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], member("x", "y", "z"));
  EXPECT_EQ(list[1], member("", "", ""));
  EXPECT_EQ(list[2], member("Ab", "c", "d"));
  MemberList none;
  EXPECT_TRUE(parseAddbText("", none));
  EXPECT_TRUE(none.empty());
}

TEST(AddbParser, RefusesBrokenTextKeepingTheRecordsBeforeIt) {
  const std::string good = "A1\r\nl1\r\nc1\r\n";
  const std::string broken[] = {
      "A2\r\nl2",                                   // ends inside a record
      "A2\r\nl2\r\nc2",                             // last field without CR LF
      "A2\r\nl2\r\n" + std::string(1024, 'c') + "\r\n",  // commonName over 1,023
      std::string(128, 'A') + "\r\nl\r\nc\r\n",     // hsmUserId over 127
      "A2\r\n" + std::string(256, 'l') + "\r\nc\r\n",  // logon over 255
      std::string("A2\r\nl2\0\r\nc2\r\n", 12),      // NUL inside a record ends the text there
  };
  for (const std::string& tail : broken) {
    MemberList list;
    EXPECT_FALSE(parseAddbText(good + tail, list)) << tail.substr(0, 20);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], member("A1", "l1", "c1"));
  }
  // Fields exactly at their limits are accepted.
  MemberList list;
  EXPECT_TRUE(parseAddbText(std::string(127, 'A') + "\r\n" + std::string(255, 'l') + "\r\n" +
                                std::string(1023, 'c') + "\r\n",
                            list));
  EXPECT_EQ(list.size(), 1u);
  // A NUL between records ends the text cleanly.
  list.clear();
  EXPECT_TRUE(parseAddbText(good + std::string(1, '\0') + "garbage", list));
  EXPECT_EQ(list.size(), 1u);
}

TEST(AddbParser, AnyLineEndEndsAFieldAndTheTwoBytesAfterItAreSkipped) {
  // Another writer's lone line ends: each takes the byte after it along.
  MemberList list;
  ASSERT_TRUE(parseAddbText("A1\r\nl1\r\nc1\r\nA2\nl2\nc2\n", list));
  EXPECT_EQ(list, (MemberList{member("A1", "l1", "c1"), member("A2", "2", "2")}));
  // CR without LF at the very end, LF CR, a lone CR: the skip never passes
  // the end of the text.
  list.clear();
  ASSERT_TRUE(parseAddbText("A1\rxl1\n\rc1\r", list));
  EXPECT_EQ(list, MemberList{member("A1", "l1", "c1")});
}

TEST(AddbReceiver, KeepsWithinItsBufferAndFlagsAnObjectTooLarge) {
  auto buffer = std::make_unique<AddbReceiveBuffer>();
  const std::string fits(65535, 'a');
  deliver(*buffer, fits);
  EXPECT_FALSE(buffer->overflowed);
  EXPECT_EQ(buffer->received, 65535u);
  EXPECT_EQ(buffer->text[65535], '\0');

  // The buffer is reused as the read does: rewound and cleared first.
  for (size_t size : {65536u, 65537u, 70000u, 200000u}) {
    buffer = std::make_unique<AddbReceiveBuffer>();
    std::memset(buffer->text, 'q', sizeof buffer->text);
    deliver(*buffer, std::string(size, 'b'));
    EXPECT_TRUE(buffer->overflowed) << size;
    EXPECT_EQ(buffer->received, 65535u);
    EXPECT_EQ(buffer->text[65535], '\0');
    EXPECT_EQ(buffer->cursor, 0u);
  }
  // One oversized chunk.
  buffer = std::make_unique<AddbReceiveBuffer>();
  const std::string huge(100000, 'h');
  appendAddbChunk(reinterpret_cast<const uint8_t*>(huge.data()), 100000, buffer.get(), 1);
  EXPECT_TRUE(buffer->overflowed);
  EXPECT_EQ(buffer->text[65535], '\0');
}

TEST(AddbReceiver, AnEmptyObjectIsOneEmptyChunk) {
  auto buffer = std::make_unique<AddbReceiveBuffer>();
  buffer->text[0] = 'x';
  EXPECT_EQ(appendAddbChunk(nullptr, 0, buffer.get(), 1), 0);
  EXPECT_EQ(buffer->received, 0u);
  EXPECT_EQ(buffer->text[0], '\0');
}

TEST(AddbSupplier, KeepsTheCountNeverGivesBytesPastTheTextAndRewindsAtTheEnd) {
  auto buffer = std::make_unique<AddbBuffer>();
  std::memcpy(buffer->text, "0123456789", 11);
  buffer->length = 10;
  std::vector<uint8_t> dest(64, 0xEE);
  uint32_t count = 4;
  int32_t end = 7;
  supplyAddbChunk(dest.data(), &count, buffer.get(), &end);
  EXPECT_EQ(end, 0);
  EXPECT_EQ(buffer->cursor, 4u);
  count = 64;  // more than is left: the count is left as asked
  supplyAddbChunk(dest.data(), &count, buffer.get(), &end);
  EXPECT_EQ(end, 0);
  EXPECT_EQ(count, 64u);
  EXPECT_EQ(buffer->cursor, 68u);  // advanced by the count asked
  EXPECT_EQ(std::string(dest.begin(), dest.begin() + 6), "456789");
  EXPECT_EQ(dest[6], 0xEE);
  count = 64;
  supplyAddbChunk(dest.data(), &count, buffer.get(), &end);
  EXPECT_EQ(end, 1);
  EXPECT_EQ(buffer->cursor, 0u);
  // A second write of the same buffer gives the same bytes again.
  EXPECT_EQ(drainSupplier(*buffer, 3), "0123456789");
  // A count that would wrap the cursor round still ends the text.
  buffer->cursor = 8;
  count = UINT32_MAX;
  supplyAddbChunk(dest.data(), &count, buffer.get(), &end);
  EXPECT_EQ(std::string(dest.begin(), dest.begin() + 2), "89");
  supplyAddbChunk(dest.data(), &count, buffer.get(), &end);
  EXPECT_EQ(end, 1);
}

}  // namespace
