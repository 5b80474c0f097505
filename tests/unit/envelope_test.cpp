// The request envelope, reply form, argument reading, and what happens to requests the host
// cannot read.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host_harness.h"

namespace {

using harness::Ask;
using harness::Keys;
using harness::Member;
using harness::Serve;

class Envelope : public ::testing::Test {
 protected:
  void SetUp() override { harness::ResetHost(); }
};

TEST_F(Envelope, ReplyHeadIsIdCallAndEcho) {
  const std::string reply = Ask(R"({"i":"7","c":103})");
  EXPECT_EQ(reply, R"({"i":"7","SCardAccessStartedEvent":"0","resp":""})");
  EXPECT_EQ(Ask(R"({"i":"8","e":"tab 1","c":103})"),
            R"({"i":"8","SCardAccessStartedEvent":"0","resp":"tab 1"})");
}

TEST_F(Envelope, RIsReadAndIgnored) {
  for (const char* r : {"5", "-1", "2.5", "true", "false", "1e300"}) {
    EXPECT_EQ(Ask(std::string(R"({"i":"1","r":)") + r + R"(,"c":103})"),
              R"({"i":"1","SCardAccessStartedEvent":"0","resp":""})");
  }
}

TEST_F(Envelope, CommandCodeIsANumberArgument) {
  EXPECT_EQ(Keys(Ask(R"({"i":"1","c":103.9})"))[1], "SCardAccessStartedEvent");
  // 103 + 2^32 has the low 32 bits of 103.
  EXPECT_EQ(Keys(Ask(R"({"i":"1","c":4294967399})"))[1], "SCardAccessStartedEvent");
}

TEST_F(Envelope, UnknownCodesGetNoReplyAndTheNextFrameIsServed) {
  for (const char* code : {"104", "110", "115", "150", "0", "-103", "170", "true", "1e10"}) {
    const auto replies =
        Serve({std::string(R"({"i":"x","c":)") + code + "}", R"({"i":"next","c":103})"});
    ASSERT_EQ(replies.size(), 1u) << code;
    EXPECT_EQ(Member(replies[0], "i"), "next");
  }
}

// Requests the host cannot read are dropped whole: no reply, no service call, and the next
// frame is answered as usual.
TEST_F(Envelope, UnreadableRequestsAreDroppedAndServingGoesOn) {
  const char* bad[] = {
      "",
      "{",
      "not json",
      R"({"i":"1","c":103} trailing)",
      R"({"i":"1","c":103}{})",
      "[1,2]",
      "\"text\"",
      "null",
      R"({"c":103})",
      R"({"i":7,"c":103})",
      R"({"i":null,"c":103})",
      R"({"i":"1"})",
      R"({"i":"1","c":"103"})",
      R"({"i":"1","c":null})",
      R"({"i":"1","c":[103]})",
      R"({"i":"1","c":103,"r":"5"})",
      R"({"i":"1","c":103,"r":null})",
      R"({"i":"1","c":103,"e":5})",
      R"({"i":"1","c":103,"e":null})",
      R"({"i":"1","c":103,"r":1e400})",  // beyond a double: not a number the host can read
      "{\"i\":\"\xff\",\"c\":103}",
      "{\"i\":\"\xc3\",\"c\":103}",
      "{\"i\":\"\xed\xa0\x80\",\"c\":103}",
      "\xef\xbb{\"i\":\"1\",\"c\":103}",  // half a byte order mark
      R"({"i":"1","c":103,})",
      R"({"i":"1","c":103,"k":[1,2}})",
      R"({"i":"\ud800","c":103})",
      R"({"i":"\udc00\ud800","c":103})",
      R"({"i":"1","c":0103})",
      R"({"i":"1","c":103,"zz":[{"y":1e400}]})",  // even in a member the host never reads
      R"({"i":"1","c":114,"p":3,"p":"x"})",       // the last of duplicate keys counts
  };
  for (const char* body : bad) {
    harness::ResetHost();
    const auto replies = Serve({body, R"({"i":"after","c":103})"});
    ASSERT_EQ(replies.size(), 1u) << body;
    EXPECT_EQ(Member(replies[0], "i"), "after") << body;
    ASSERT_EQ(fake::g_service.calls.size(), 1u) << body;
  }
}

TEST_F(Envelope, IdAndEchoAreEscapedAndDecodeToTheSameText) {
  const std::string texts[] = {
      "",
      "quote \" and backslash \\",
      std::string("controls \x01\x1f\b\f\n\r\t end"),
      std::string("nul \0 inside", 12),
      "unicode \xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91 and \x7f",
      "slash / stays",
  };
  for (const std::string& text : texts) {
    const nlohmann::json request = {{"i", text}, {"e", text}, {"c", 103}};
    const std::string reply = Ask(request.dump());
    EXPECT_EQ(Member(reply, "i"), text);
    EXPECT_EQ(Member(reply, "resp"), text);
    for (const char c : reply) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << "raw control";
  }
  EXPECT_EQ(Ask(R"({"i":"a\u0001b\"c\\","c":103})"),
            R"({"i":"a\u0001b\"c\\","SCardAccessStartedEvent":"0","resp":""})");
}

TEST_F(Envelope, RepliesHaveNoWhiteSpaceBetweenTokens) {
  fake::g_service.scripts.push_back({});
  const std::string reply = Ask(R"({ "i" : "1" , "c" : 114 , "p" : 0 })");
  EXPECT_EQ(reply.find(' '), std::string::npos);
  EXPECT_EQ(reply.find('\n'), std::string::npos);
}

// The request reader takes what the JSON library's parse takes, and resolves what it resolves.
TEST_F(Envelope, ReaderAcceptsWhatTheJsonLibraryAccepts) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const struct {
    std::string body;
    uint32_t scope;
  } cases[] = {
      {"\xef\xbb\xbf{\"i\":\"1\",\"c\":114,\"p\":1}", 1},                   // a byte order mark
      {std::string(R"({"i":"1","c":114,"p":2} )") + '\0' + "trailing", 2},  // NUL ends the text
      {R"({"i":"1","c":114,"p":"x","p":3})", 3},                            // the last key wins
      {R"({"\u0069":"1","\u0063":114,"\u0070":4})", 4},                     // escaped letters
      {R"({"i":"1","c":114,"p":5,"pp":"x","":null,"k":{"p":6}})", 5},
      {R"({"i":"1","c":114,"k":)" + deep + R"(,"p":7})", 7},
      {R"({"i":"1","c":114,"p":-9223372036854775809})", 0},  // beyond 64 bits: a double
      {R"({"i":"1","c":114,"p":18446744073709551621})", 0},
  };
  for (const auto& c : cases) {
    harness::ResetHost();
    Serve({c.body});
    ASSERT_EQ(fake::g_service.calls.size(), 1u) << c.body.substr(0, 60);
    EXPECT_EQ(fake::g_service.Last().words.at(0), c.scope) << c.body.substr(0, 60);
  }
}

TEST_F(Envelope, NumberArgumentsTakeLow32BitsTruncateFloatsAndReadBooleans) {
  const struct {
    const char* json;
    uint32_t scope;
  } cases[] = {
      {"true", 1},
      {"false", 0},
      {"2.9", 2},
      {"-2.9", 0xFFFFFFFEu},
      {"4294967295", 0xFFFFFFFFu},
      {"-1", 0xFFFFFFFFu},
      {"4294967298", 2},
      {"-4294967295", 1},
      {"1e20", 1661992960u},  // 10^20 mod 2^32
      {"-0.5", 0},
      {"18446744073709551615", 0xFFFFFFFFu},
      // At and beyond 2^63, where the integer no longer converts directly.
      {"-1e20", 2632974336u},
      {"9.3e18", 4213309440u},
      {"-9.3e18", 81657856u},
      {"9223372036854775807", 0xFFFFFFFFu},
      {"-9223372036854775808", 0},
      {"1.2345678901234567e19", 3944679424u},
      {"123456789012345678901", 792100864u},
      {"1e300", 0},
  };
  for (const auto& c : cases) {
    harness::ResetHost();
    Ask(std::string(R"({"i":"1","c":114,"p":)") + c.json + "}");
    ASSERT_EQ(fake::g_service.calls.size(), 1u) << c.json;
    EXPECT_EQ(fake::g_service.Last().words.at(0), c.scope) << c.json;
  }
}

TEST_F(Envelope, WrongTypedCommandKeyIsDroppedBeforeTheCall) {
  for (const char* value : {R"("5")", "null", "[]", "{}"}) {
    harness::ResetHost();
    const auto replies =
        Serve({std::string(R"({"i":"1","c":114,"p":)") + value + "}", R"({"i":"2","c":103})"});
    ASSERT_EQ(replies.size(), 1u) << value;
    EXPECT_EQ(Member(replies[0], "i"), "2");
    ASSERT_EQ(fake::g_service.calls.size(), 1u);
    EXPECT_EQ(fake::g_service.calls[0].name, "SCardAccessStartedEvent");
  }
}

}  // namespace
