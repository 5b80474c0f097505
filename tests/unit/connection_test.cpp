// Connect, reconnect, disconnect and transactions.
#include <gtest/gtest.h>

#include "host/arguments.h"
#include "host_harness.h"

namespace {

using harness::Ask;
using harness::Keys;
using harness::Member;
using host::g_handleSlots;

class Connection : public ::testing::Test {
 protected:
  void SetUp() override { harness::ResetHost(); }
  static fake::Service& service() { return fake::g_service; }
};

TEST_F(Connection, ConnectReportsTheCardHandleAndProtocol) {
  fake::Script s;
  s.handle = 0x10001;
  s.protocol = 2;
  service().scripts.push_back(s);
  EXPECT_EQ(Ask(R"({"i":"5","c":109,"g":"Reader A","q":2,"b":3})"),
            R"({"i":"5","SCardConnectA":"0","resp":"","cbHandle":"8","pbHandlet0":"1",)"
            R"("pbContext1":"0","pbContext2":"1","pbContext3":"0","pbContext4":"0",)"
            R"("pbContext5":"0","pbContext6":"0","pbContext7":"0","dwActiveProtocol":"2"})");
  const fake::Call& call = service().Last();
  EXPECT_EQ(call.text, "Reader A");
  EXPECT_EQ(call.words[0], 2u);
  EXPECT_EQ(call.words[1], 3u);
  EXPECT_EQ(call.words[2], 0u) << "the card handle starts at zero";
  EXPECT_EQ(call.words[3], 0u) << "the active protocol starts at zero";
  EXPECT_EQ(g_handleSlots.card, 0u) << "connect never writes the card-handle slot";
}

TEST_F(Connection, FailedConnectStillAnswersEveryMember) {
  fake::Script s;
  s.result = static_cast<int32_t>(0x80100009u);
  s.touchOutputs = false;
  service().scripts.push_back(s);
  const std::string reply = Ask(R"({"i":"1","c":109,"g":"nope"})");
  EXPECT_EQ(Member(reply, "SCardConnectA"), "-2146435063");
  EXPECT_EQ(Keys(reply).size(), 13u);
  for (const char* key : {"pbHandlet0", "pbContext1", "pbContext7", "dwActiveProtocol"}) {
    EXPECT_EQ(Member(reply, key), "0") << key;
  }
  EXPECT_EQ(Member(reply, "pbContext0"), "<absent>");
}

TEST_F(Connection, ConnectUsesKeySetWAndKeepsShareModeAndProtocols) {
  g_handleSlots.context = 0x1111111111111111u;
  harness::Serve({
      R"({"i":"1","c":109,"p":2,"x":1,"y":2,"g":"R","q":1,"b":3})",
      R"({"i":"2","c":109,"p":8,"x":1,"y":2,"z":3,"w":4,"m":5,"s":6,"t":7,"k":8})",
      R"({"i":"3","c":109,"q":-1,"l":99,"h":99,"j":99})",
  });
  const auto calls = service().calls;
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].handle, 0x1111111111110201u);
  EXPECT_EQ(calls[1].handle, 0x0807060504030201u);
  EXPECT_EQ(calls[1].text, "") << "the reader name never carries over";
  EXPECT_FALSE(calls[1].textNull);
  EXPECT_EQ(calls[1].words[0], 1u);
  EXPECT_EQ(calls[1].words[1], 3u);
  EXPECT_EQ(calls[2].handle, 0x0807060504030201u) << "l, h and j are no connect keys";
  EXPECT_EQ(calls[2].words[0], 0xFFFFFFFFu);
  EXPECT_EQ(calls[2].words[1], 3u);
}

TEST_F(Connection, ReconnectUsesKeySetSAndItsOwnCells) {
  fake::Script s;
  s.protocol = 1;
  service().scripts.push_back(s);
  const std::string reply =
      Ask(R"({"i":"1","c":159,"p":8,"x":1,"y":2,"z":3,"s":4,"l":5,"b":6,"h":7,"j":8,)"
          R"("w":2,"m":3,"t":1})");
  EXPECT_EQ(reply, R"({"i":"1","SCardReconnect":"0","resp":"","dwActiveProtocol":"1"})");
  EXPECT_EQ(service().Last().handle, 0x0807060504030201u);
  EXPECT_EQ(g_handleSlots.card, 0x0807060504030201u);
  EXPECT_EQ(service().Last().words, (std::vector<uint32_t>{2, 3, 1, 0}));

  // A connect and a disconnect in between change none of reconnect's cells.
  harness::Serve({R"({"i":"2","c":109,"q":9,"b":9})", R"({"i":"3","c":112,"w":9})",
                  R"({"i":"4","c":159,"p":0})"});
  EXPECT_EQ(service().Last().words, (std::vector<uint32_t>{2, 3, 1, 0}));
}

TEST_F(Connection, FailedReconnectReportsProtocolZero) {
  fake::Script s;
  s.result = static_cast<int32_t>(0x80100069u);
  s.touchOutputs = false;
  service().scripts.push_back(s);
  EXPECT_EQ(Ask(R"({"i":"1","c":159})"),
            R"({"i":"1","SCardReconnect":"-2146434967","resp":"","dwActiveProtocol":"0"})");
}

TEST_F(Connection, DispositionCellsBelongToTheirCommand) {
  harness::Serve({
      R"({"i":"1","c":112,"w":1})",
      R"({"i":"2","c":113,"w":2})",
      R"({"i":"3","c":112})",
      R"({"i":"4","c":113})",
  });
  const auto calls = service().calls;
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[2].name, "SCardDisconnect");
  EXPECT_EQ(calls[2].words[0], 1u);
  EXPECT_EQ(calls[3].name, "SCardEndTransaction");
  EXPECT_EQ(calls[3].words[0], 2u);
}

TEST_F(Connection, HeadOnlyReplies) {
  const struct {
    const char* request;
    const char* call;
  } cases[] = {
      {R"({"i":"1","c":112})", "SCardDisconnect"},
      {R"({"i":"1","c":107})", "SCardBeginTransaction"},
      {R"({"i":"1","c":113})", "SCardEndTransaction"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Keys(Ask(c.request)), (std::vector<std::string>{"i", c.call, "resp"}));
  }
}

TEST_F(Connection, BeginTransactionReusesCountAndBytesOfItsOwnEarlierRequests) {
  g_handleSlots.card = 0xFFFFFFFFFFFFFFFFu;
  harness::Serve({
      R"({"i":"1","c":107,"p":4,"x":1,"y":2,"z":3,"s":4})",
      R"({"i":"2","c":113,"p":8,"x":0,"y":0,"z":0,"s":0,"l":0,"b":0,"h":0,"j":0})",
      R"({"i":"3","c":107,"x":9,"y":8,"z":7})",
  });
  const auto calls = service().calls;
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].handle, 0xFFFFFFFF04030201u);
  EXPECT_EQ(calls[1].handle, 0u);
  EXPECT_EQ(calls[2].handle, 0x04070809u) << "count 4 again, byte 3 from the first request";
}

TEST_F(Connection, DisconnectLeavesTheSlotForTheNextCardCommand) {
  harness::Serve({R"({"i":"1","c":112,"p":8,"x":1,"y":2,"z":3,"s":4,"l":5,"b":6,"h":7,"j":8})",
                  R"({"i":"2","c":112,"p":0})"});
  EXPECT_EQ(service().calls[1].handle, 0x0807060504030201u);
}

}  // namespace
