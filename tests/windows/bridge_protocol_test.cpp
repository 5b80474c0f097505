// The bridge's message fields, and its bounds: a peer that claims more than it sends, or more than
// the bound, must not make the other side read past the message or allocate what it claims.
#include <gtest/gtest.h>

#include "protocol.h"

namespace {

TEST(BridgeProtocol, FieldsRoundTripInOrder) {
  std::vector<uint8_t> body;
  bridge::PutU32(body, 0x0A0D1A01u);
  bridge::PutU64(body, 0x1122334455667788ull);
  bridge::PutBytes(body, "ab\0c", 4);
  int value = 0;
  bridge::PutOptionalU32(body, &value, 7);
  bridge::PutOptionalU32(body, nullptr, 9);
  bridge::PutOptionalU64(body, &value, 0xFFFFFFFFFFull);
  ASSERT_EQ(body.size(), 4u + 8 + 4 + 4 + 8 + 4 + 12);
  EXPECT_EQ(body[0], 0x01);  // little-endian
  EXPECT_EQ(body[3], 0x0A);

  bridge::Cursor c = bridge::MakeCursor(body);
  EXPECT_EQ(bridge::TakeU32(c), 0x0A0D1A01u);
  EXPECT_EQ(bridge::TakeU64(c), 0x1122334455667788ull);
  EXPECT_EQ(bridge::TakeText(c, 16), std::string("ab\0c", 4));
  const bridge::OptionalU32 present = bridge::TakeOptionalU32(c);
  EXPECT_TRUE(present.present);
  EXPECT_EQ(present.value, 7u);
  EXPECT_FALSE(bridge::TakeOptionalU32(c).present);
  EXPECT_EQ(bridge::TakeOptionalU64(c).value, 0xFFFFFFFFFFull);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.pos, body.size());
}

TEST(BridgeProtocol, ShortOrOversizedFieldsFailAndReadZero) {
  const struct {
    const char* what;
    std::vector<uint8_t> body;
    size_t bound;
  } cases[] = {
      {"length beyond the message", {5, 0, 0, 0, 'a', 'b'}, 16},
      {"length beyond the bound", {5, 0, 0, 0, 'a', 'b', 'c', 'd', 'e'}, 4},
      {"huge length", {0xFF, 0xFF, 0xFF, 0xFF}, bridge::kMaxBuffer},
      {"truncated length", {5, 0}, 16},
  };
  for (const auto& t : cases) {
    bridge::Cursor c = bridge::MakeCursor(t.body);
    EXPECT_TRUE(bridge::TakeBytes(c, t.bound).empty()) << t.what;
    EXPECT_FALSE(c.ok) << t.what;
    // Once failed, every later read fails too and yields zero.
    EXPECT_EQ(bridge::TakeU32(c), 0u) << t.what;
    EXPECT_FALSE(c.ok) << t.what;
  }
}

TEST(BridgeProtocol, IntegerPastTheEndFails) {
  const std::vector<uint8_t> body = {1, 2, 3, 4, 5, 6, 7};
  bridge::Cursor c = bridge::MakeCursor(body);
  EXPECT_EQ(bridge::TakeU32(c), 0x04030201u);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(bridge::TakeU32(c), 0u);
  EXPECT_FALSE(c.ok);
}

}  // namespace
