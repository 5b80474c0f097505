// Value encodings: Status text, Number text, Byte list output and input.
#include <gtest/gtest.h>

#include <limits>

#include "host/encodings.h"

namespace {

std::string StatusText(int32_t v) {
  std::string s;
  host::AppendStatusText(s, v);
  return s;
}

std::string NumberText(uint32_t v) {
  std::string s;
  host::AppendNumberText(s, v);
  return s;
}

TEST(StatusText, SignedDecimalOfTheResultCode) {
  const struct {
    uint32_t code;
    const char* text;
  } cases[] = {
      {0, "0"},
      {7, "7"},
      {0x8010001Du, "-2146435043"},
      {0x80100003u, "-2146435069"},
      {0x80000000u, "-2147483648"},
      {0x7FFFFFFFu, "2147483647"},
      {0xFFFFFFFFu, "-1"},
  };
  for (const auto& c : cases) EXPECT_EQ(StatusText(static_cast<int32_t>(c.code)), c.text);
}

TEST(NumberText, UnsignedDecimal) {
  EXPECT_EQ(NumberText(0), "0");
  EXPECT_EQ(NumberText(10), "10");
  EXPECT_EQ(NumberText(0xFFFFFFFFu), "4294967295");
}

TEST(ByteListOutput, DecimalBytesJoinedByCommas) {
  std::string s = "x";
  const uint8_t bytes[] = {0, 10, 255, 7, 100, 99};
  EXPECT_TRUE(host::AppendByteList(s, bytes, 3));
  EXPECT_EQ(s, "x0,10,255");
  s.clear();
  EXPECT_TRUE(host::AppendByteList(s, bytes + 3, 1));
  EXPECT_EQ(s, "7");
  s.clear();
  EXPECT_TRUE(host::AppendByteList(s, bytes, 6));
  EXPECT_EQ(s, "0,10,255,7,100,99");
}

TEST(ByteListOutput, NoTextForNoBufferOrNonPositiveLength) {
  const uint8_t bytes[] = {1};
  for (const int64_t length : {int64_t{0}, int64_t{-1}, int64_t{INT32_MIN}}) {
    std::string s;
    EXPECT_FALSE(host::AppendByteList(s, bytes, length));
    EXPECT_EQ(s, "");
  }
  std::string s;
  EXPECT_FALSE(host::AppendByteList(s, nullptr, 5));
  EXPECT_EQ(s, "");
}

TEST(ByteListOutput, EveryByteValueRoundTrips) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  std::string s;
  ASSERT_TRUE(host::AppendByteList(s, all.data(), 256));
  const std::string text = s;
  const host::ByteBuffer back = host::ByteListInput(&text, 256);
  ASSERT_TRUE(back.data);
  EXPECT_EQ(std::vector<uint8_t>(back.data.get(), back.data.get() + 256), all);
}

TEST(ByteListOutput, LongBuffersAsTheirBytesOneByOne) {
  // Lengths around the sixteen-byte blocks and the 1024-byte pieces, bytes of every size.
  std::vector<uint8_t> bytes(5000);
  uint32_t state = 0x2545F491u;
  for (uint8_t& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 24 >> (state % 3 * 3));  // small values now and then
  }
  for (const size_t n : {15u, 16u, 17u, 33u, 1023u, 1024u, 1040u, 4999u, 5000u}) {
    std::string expected = "x";
    for (size_t i = 0; i < n; ++i) expected += std::to_string(bytes[i]) + (i + 1 < n ? "," : "");
    std::string s = "x";
    ASSERT_TRUE(host::AppendByteList(s, bytes.data(), static_cast<int64_t>(n)));
    EXPECT_EQ(s, expected) << n;
  }
}

std::vector<uint8_t> Input(const std::string& text, int64_t length) {
  const host::ByteBuffer b = host::ByteListInput(&text, length);
  if (!b.data) return {};
  EXPECT_EQ(b.size, static_cast<size_t>(length));
  return std::vector<uint8_t>(b.data.get(), b.data.get() + b.size);
}

TEST(ByteListInput, PiecesFillAZeroedBufferOfTheStatedLength) {
  const struct {
    const char* text;
    int64_t length;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"1,2,3", 5, {1, 2, 3, 0, 0}},
      {"1,2,3", 2, {1, 2}},
      {"1,,2", 2, {1, 2}},
      {",,1,,,2,,", 3, {1, 2, 0}},
      {"256,-1", 2, {0, 255}},
      {"abc", 1, {0}},
      {" 7", 1, {7}},
      {"\t\n 9x", 1, {9}},
      {"+12", 1, {12}},
      {"-0", 1, {0}},
      {"12abc,4", 2, {12, 4}},
      {"- 5", 1, {0}},  // a sign must be followed by digits at once
      {"", 3, {0, 0, 0}},
      {"NULL", 2, {0, 0}},
      {"-129", 1, {127}},
      {"65535", 1, {255}},
      // Values past 64 bits saturate like strtol: the largest long ends in 0xFF, the smallest 0x00.
      {"99999999999999999999999", 1, {255}},
      {"-99999999999999999999999", 1, {0}},
      {"9223372036854775807", 1, {255}},
      {"-9223372036854775808", 1, {0}},
      {"4294967296", 1, {0}},
      {"4294967297", 1, {1}},
  };
  for (const auto& c : cases) EXPECT_EQ(Input(c.text, c.length), c.bytes) << '"' << c.text << '"';
}

TEST(ByteListInput, NoBufferForNoTextOrNonPositiveLength) {
  const std::string text = "1,2";
  EXPECT_FALSE(host::ByteListInput(nullptr, 3).data);
  EXPECT_FALSE(host::ByteListInput(&text, 0).data);
  EXPECT_FALSE(host::ByteListInput(&text, -1).data);
  EXPECT_FALSE(host::ByteListInput(&text, INT32_MIN).data);
}

// Any positive length gets exactly that many zero bytes, mapped only where they are written.
TEST(ByteListInput, LargeLengthsGiveWholeZeroFilledBuffers) {
  const std::string text = "1";
  for (const int64_t length :
       {int64_t{16u * 1024 * 1024 + 1}, int64_t{20000000}, int64_t{INT32_MAX}}) {
    const host::ByteBuffer buffer = host::ByteListInput(&text, length);
    ASSERT_TRUE(buffer.data) << length;
    EXPECT_EQ(buffer.size, static_cast<size_t>(length));
    EXPECT_EQ(buffer.data[0], 1);
    EXPECT_EQ(buffer.data[buffer.size / 2], 0);
    EXPECT_EQ(buffer.data[buffer.size - 1], 0);
  }
}

TEST(ListedBytes, NeverPastTheBufferNorBeyondTheReplyBound) {
  const host::ByteBuffer small = host::AllocateZeroed(10);
  const host::ByteBuffer huge = host::AllocateZeroed(uint64_t{host::kMaxListedBytes} * 2);
  ASSERT_TRUE(huge.data);
  EXPECT_EQ(host::ListedBytes(4, small), 4);
  EXPECT_EQ(host::ListedBytes(4294967295u, small), 10);
  EXPECT_EQ(host::ListedBytes(4294967295u, huge), int64_t{host::kMaxListedBytes});
  EXPECT_EQ(host::ListedBytes(5, host::ByteBuffer{}), 0);
}

}  // namespace
