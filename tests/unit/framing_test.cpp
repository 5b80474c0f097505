// Frames on the standard streams: byte-exact lengths, binary bodies, truncated input.
#include <gtest/gtest.h>

#include "host_harness.h"

namespace {

using harness::Frame;
using harness::RunRaw;

class Framing : public ::testing::Test {
 protected:
  void SetUp() override { harness::ResetHost(); }
};

TEST_F(Framing, EmptyInputEndsAtOnceWithStatusZero) {
  int status = -1;
  EXPECT_EQ(RunRaw("", &status), "");
  EXPECT_EQ(status, 0);
}

TEST_F(Framing, SeventeenByteFrameIsOneRequest) {
  const std::string input = std::string("\x11\x00\x00\x00", 4) + R"({"i":"1","c":103})";
  const std::string output = RunRaw(input);
  const std::string body = R"({"i":"1","SCardAccessStartedEvent":"0","resp":""})";
  EXPECT_EQ(output, Frame(body));
}

TEST_F(Framing, ReleaseExampleIsByteExact) {
  const std::string request = R"({"i":"a1","r":5,"e":"tab 1","c":160,"p":0})";
  ASSERT_EQ(request.size(), 42u);
  const std::string output = RunRaw(Frame(request));
  const std::string reply = R"({"i":"a1","SCardReleaseContext":"0","resp":"tab 1"})";
  ASSERT_EQ(reply.size(), 51u);
  EXPECT_EQ(output, std::string("\x33\x00\x00\x00", 4) + reply);
}

// Reply lengths whose low byte is a newline, a carriage return or the DOS end-of-file byte pass
// as exactly four bytes. The echo pads the reply to the wanted length.
TEST_F(Framing, LengthBytesThatLookLikeTextControlsPassUnchanged) {
  const std::string head = R"({"i":"1","SCardAccessStartedEvent":"0","resp":"")";
  for (const size_t length : {266u, 269u, 282u}) {
    const std::string echo(length - head.size() - 1, 'e');
    const std::string output = RunRaw(Frame(R"({"i":"1","c":103,"e":")" + echo + "\"}"));
    ASSERT_EQ(output.size(), length + 4);
    EXPECT_EQ(static_cast<uint8_t>(output[0]), length & 0xFF);
    EXPECT_EQ(static_cast<uint8_t>(output[1]), 1);
    EXPECT_EQ(output.substr(2, 2), std::string(2, '\0'));
    EXPECT_EQ(output.back(), '}') << "nothing may follow a reply";
  }
}

TEST_F(Framing, CrLfWhiteSpaceInsideABodyIsData) {
  std::string body = "{\r\n\"i\"\r\n:\r\n\"1\"\r\n,\r\n\"c\":103";
  body += std::string(266 - body.size() - 1, ' ') + "}";
  ASSERT_EQ(body.size(), 266u);
  const std::string second = R"({"i":"2","c":103})";
  const std::vector<std::string> replies = harness::Serve({body, second});
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(harness::Member(replies[0], "i"), "1");
  EXPECT_EQ(harness::Member(replies[1], "i"), "2");
}

TEST_F(Framing, TwoFramesInOneWriteAreAnsweredInOrder) {
  const auto replies = harness::Serve({R"({"i":"first","c":103})", R"({"i":"second","c":103})"});
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(harness::Member(replies[0], "i"), "first");
  EXPECT_EQ(harness::Member(replies[1], "i"), "second");
}

TEST_F(Framing, AllOnesPrefixEndsTheHostAndNothingAfterItIsRead) {
  int status = -1;
  const std::string input = std::string(4, '\xFF') + Frame(R"({"i":"1","c":103})");
  EXPECT_EQ(RunRaw(input, &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(fake::g_service.calls.empty());
}

// End of input anywhere inside a frame ends the host quietly: nothing is parsed or answered.
TEST_F(Framing, TruncatedInputEndsQuietly) {
  const std::string good = Frame(R"({"i":"1","c":103})");
  const std::vector<std::string> truncations = {
      std::string("\x11", 1),
      std::string("\x11\x00", 2),
      std::string("\x11\x00\x00", 3),
      good.substr(0, good.size() - 1),
      std::string("\xFF\xFF\xFF\x7F", 4),  // promises 2 GiB, delivers nothing
      std::string("\xFF\xFF\xFF\x7F", 4) + "{\"i\":",
  };
  for (const std::string& tail : truncations) {
    harness::ResetHost();
    int status = -1;
    const std::string output = RunRaw(good + tail, &status);
    EXPECT_EQ(output, Frame(R"({"i":"1","SCardAccessStartedEvent":"0","resp":""})"));
    EXPECT_EQ(status, 0);
  }
}

}  // namespace
