// Byte list input reads the common one-to-three-digit pieces on a fast path and everything else
// by atoi's rules; both must give the same bytes as splitting at commas and reading every piece
// with PieceByte.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/encodings.h"

namespace {

// The plain reading: split at commas, skip empty pieces, read each piece with PieceByte.
std::vector<uint8_t> Reference(const std::string& text, size_t length) {
  std::vector<uint8_t> bytes(length, 0);
  size_t k = 0;
  size_t pos = 0;
  while (k < length && pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    if (comma > pos) bytes[k++] = host::PieceByte(std::string_view(text).substr(pos, comma - pos));
    pos = comma + 1;
  }
  return bytes;
}

std::vector<uint8_t> Read(const std::string& text, int64_t length) {
  const host::ByteBuffer buffer = host::ByteListInput(&text, length);
  if (!buffer.data) return {};
  return std::vector<uint8_t>(buffer.data.get(), buffer.data.get() + buffer.size);
}

struct Case {
  std::string text;
  int64_t length;
  std::vector<uint8_t> expected;
};

TEST(ByteListInput, ReadsEveryPieceAsAtoiDoes) {
  const std::vector<Case> cases = {
      {"1,2,3", 5, {1, 2, 3, 0, 0}},
      {"1,2,3", 2, {1, 2}},
      {"1,,2", 2, {1, 2}},
      {",,,7,,", 2, {7, 0}},
      {"256,-1", 2, {0, 255}},
      {"abc", 1, {0}},
      {" 7", 1, {7}},
      {"", 3, {0, 0, 0}},
      {"0,10,255", 3, {0, 10, 255}},
      {"999", 1, {231}},                      // three digits above 255 keep their low 8 bits
      {"1000,0255,00001", 3, {232, 255, 1}},  // four and more digits
      {"+5,-0,12a,a12", 4, {5, 0, 12, 0}},
      {"7 ,8", 2, {7, 8}},  // a trailing blank ends the digits
      {"99999999999999999999,-99999999999999999999", 2, {255, 0}},  // saturated like strtol
      {"1,2\n,3", 3, {1, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Read(c.text, c.length), c.expected);
    EXPECT_EQ(Read(c.text, c.length), Reference(c.text, static_cast<size_t>(c.length)));
  }
}

TEST(ByteListInput, MatchesThePlainReadingOnMixedText) {
  // Pieces of every kind, cut at every length, so the fast path meets each ending.
  const std::string text = "0,1,22,333,4444,-5,+6, 7,8x,,9,255,256,-256,00,007,1e3,,";
  for (int64_t length = 1; length <= 24; ++length) {
    for (size_t cut = 0; cut <= text.size(); ++cut) {
      const std::string piece = text.substr(0, cut);
      SCOPED_TRACE(piece);
      EXPECT_EQ(Read(piece, length), Reference(piece, static_cast<size_t>(length)));
    }
  }
}

TEST(ByteListInput, MatchesThePlainReadingOverManyBlocks) {
  // Blocks of sixteen bytes with up to eight pieces, empty pieces, and long or signed pieces
  // that end the block reading, at every offset.
  const std::string unit = "1,2,3,4,5,6,7,8,9,,10,255,999,0,07,1234,-3,12,";
  std::string text;
  for (int i = 0; i < 6; ++i) text += unit;
  for (size_t skip = 0; skip < unit.size(); ++skip) {
    const std::string piece = text.substr(skip);
    SCOPED_TRACE(piece);
    for (int64_t length : {8, 40, 200}) {
      EXPECT_EQ(Read(piece, length), Reference(piece, static_cast<size_t>(length)));
    }
  }
}

TEST(ByteListInput, MatchesThePlainReadingOnLongCardData) {
  // Kilobytes of mostly short pieces, as card data comes, with now and then an empty, long,
  // signed or blank piece: every block reading starts, stops and resumes many times, and pieces
  // are cut by block ends at every position.
  uint32_t state = 0x9E3779B9u;
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  const char* const odd[] = {"", "1234", "-7", "+8", " 9", "0007", "12x"};
  std::string text;
  while (text.size() < 20000) {
    const uint32_t r = next();
    if (r % 97 == 0) {
      text += odd[(r / 97) % 7];
    } else {
      text += std::to_string(r % (r % 3 == 0 ? 1000 : 256));
    }
    text += ',';
  }
  for (size_t skip = 0; skip < 40; skip += 3) {
    const std::string piece = text.substr(skip, text.size() - skip - (skip % 5));
    SCOPED_TRACE(skip);
    for (int64_t length : {17, 100, 1000, 6000, 20000}) {
      EXPECT_EQ(Read(piece, length), Reference(piece, static_cast<size_t>(length)));
    }
  }
}

TEST(ByteListInput, GivesNoBufferForNoTextOrNoLength) {
  const std::string text = "1,2";
  EXPECT_FALSE(host::ByteListInput(nullptr, 2).data);
  EXPECT_FALSE(host::ByteListInput(&text, 0).data);
  EXPECT_FALSE(host::ByteListInput(&text, -1).data);
}

}  // namespace
