// Transmit, reader control and reader attributes.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>

#include "host/arguments.h"
#include "host/buffers.h"
#include "host_harness.h"

namespace {

using harness::Ask;
using harness::ByteList;
using harness::Keys;
using harness::Member;
using harness::ParseByteList;

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override { harness::ResetHost(); }
  static fake::Service& service() { return fake::g_service; }
};

using Bytes = std::vector<uint8_t>;

TEST_F(Exchange, TransmitSendsTheApduAndReturnsTheAnswer) {
  fake::Script s;
  s.data = {0x6F, 0x00, 0x90, 0x00};
  service().scripts.push_back(s);
  const std::string reply =
      Ask(R"({"i":"1","c":169,"p":8,"x":1,"y":0,"z":0,"s":0,"l":0,"b":0,"h":0,"j":0,)"
          R"("w":"2,0,0,0,8,0,0,0","n":8,"g":"0,164,4,0,0","q":5,"m":"NULL","d":8,"f":258,"t":0})");
  EXPECT_EQ(reply, R"({"i":"1","SCardTransmit":"0","resp":"","pioRecvPci":"NULL",)"
                   R"("cbPciLength":"8","pbRecvBuffer":"111,0,144,0","cbRecvLength":"4"})");
  const fake::Call& call = service().Last();
  EXPECT_EQ(call.handle, 1u);
  EXPECT_EQ(call.sendPci, (Bytes{2, 0, 0, 0, 8, 0, 0, 0}));
  EXPECT_EQ(call.input, (Bytes{0, 164, 4, 0, 0}));
  EXPECT_TRUE(call.recvPciNull);
  EXPECT_EQ(call.words, (std::vector<uint32_t>{5, 258}));
}

TEST_F(Exchange, TransmitSendBufferRules) {
  const struct {
    const char* keys;
    bool null;
    Bytes sent;
    uint32_t length;
  } cases[] = {
      {R"("g":"NULL","q":3)", true, {}, 3},
      {R"("q":3)", false, {0, 0, 0}, 3},
      {R"("g":"1,2","q":4)", false, {1, 2, 0, 0}, 4},
      {R"("g":"1,2,3,4,5","q":2)", false, {1, 2}, 2},
      {R"("g":"1,2","q":0)", true, {}, 0},
      {R"("g":"1,2","q":-5)", true, {}, 0xFFFFFFFBu},
      {R"("g":"1","q":20000000)", false, {1}, 20000000u},  // exactly as long as asked
  };
  for (const auto& c : cases) {
    harness::ResetHost();
    Ask(std::string(R"({"i":"1","c":169,"f":2,)") + c.keys + "}");
    const fake::Call& call = service().Last();
    EXPECT_EQ(call.inputNull, c.null) << c.keys;
    if (!c.null && call.input.size() == c.length && c.length > c.sent.size()) {
      // A large buffer: its first bytes as sent, the rest zero.
      EXPECT_EQ(Bytes(call.input.begin(), call.input.begin() + 1), c.sent) << c.keys;
      EXPECT_EQ(static_cast<uint32_t>(std::count(call.input.begin(), call.input.end(), 0)),
                c.length - 1)
          << c.keys;
    } else if (!c.null) {
      EXPECT_EQ(call.input, c.sent) << c.keys;
    }
    EXPECT_EQ(call.words[0], c.length) << c.keys;
  }
}

TEST_F(Exchange, TransmitWithoutReceiveBufferReportsTheLengthAsLeft) {
  fake::Script s;
  s.data = {1, 2};
  s.length = 7;
  service().scripts = {s, s};
  const std::string noBuffer = Ask(R"({"i":"1","c":169,"f":0})");
  EXPECT_TRUE(service().Last().outputNull);
  EXPECT_EQ(service().Last().words[1], 0u);
  EXPECT_EQ(Member(noBuffer, "pbRecvBuffer"), "NULL");
  EXPECT_EQ(Member(noBuffer, "cbRecvLength"), "7");
  const std::string flagged = Ask(R"({"i":"1","c":169,"f":10,"t":1})");
  EXPECT_TRUE(service().Last().outputNull);
  EXPECT_EQ(Member(flagged, "pbRecvBuffer"), "NULL");
}

// A receive length above the buffer is never read past: only what the buffer holds is listed.
TEST_F(Exchange, TransmitNeverListsPastTheReceiveBuffer) {
  fake::Script s;
  s.data = {1, 2, 3, 4};
  s.length = 1000;
  service().scripts.push_back(s);
  const std::string reply = Ask(R"({"i":"1","c":169,"f":4})");
  EXPECT_EQ(Member(reply, "pbRecvBuffer"), "1,2,3,4");
  EXPECT_EQ(Member(reply, "cbRecvLength"), "1000");
}

TEST_F(Exchange, TransmitReceivePciIsListedAndItsLengthKept) {
  fake::Script s;
  s.recvPci = {1, 0, 0, 0, 8, 0, 0, 0, 0xAA};
  service().scripts = {s, fake::Script{}};
  const std::string reply = Ask(R"({"i":"1","c":169,"m":"9,9,9,9,12,0,0,0,5,6,7,8","d":12})");
  EXPECT_EQ(service().Last().recvPci, (Bytes{9, 9, 9, 9, 12, 0, 0, 0, 5, 6, 7, 8}));
  EXPECT_EQ(Member(reply, "pioRecvPci"), "1,0,0,0,8,0,0,0");
  EXPECT_EQ(Member(reply, "cbPciLength"), "8");
  // The next request without "d" offers the record length the service returned.
  Ask(R"({"i":"2","c":169})");
  EXPECT_EQ(service().Last().recvPci.size(), 8u);
  EXPECT_EQ(service().Last().recvPci, Bytes(8, 0)) << "an absent text gives zero bytes";
}

TEST_F(Exchange, TransmitReceivePciLengthsThatDisagreeWithTheRecord) {
  const struct {
    const char* keys;
    Bytes written;
    const char* listed;
    const char* length;
  } cases[] = {
      // cbPciLength above the buffer: listed up to the buffer only.
      {R"("m":"","d":8)", {2, 0, 0, 0, 200, 0, 0, 0}, "2,0,0,0,200,0,0,0", "200"},
      // A record too short for cbPciLength keeps the request's length.
      {R"("m":"1,2,3","d":3)", {7, 7, 7}, "7,7,7", "3"},
      {R"("m":"NULL","d":8)", {}, "NULL", "8"},
      // cbPciLength of zero lists nothing.
      {R"("m":"","d":8)", {2, 0, 0, 0, 0, 0, 0, 0}, "NULL", "0"},
  };
  for (const auto& c : cases) {
    harness::ResetHost();
    fake::Script s;
    s.recvPci = c.written;
    service().scripts.push_back(s);
    const std::string reply = Ask(std::string(R"({"i":"1","c":169,)") + c.keys + "}");
    EXPECT_EQ(Member(reply, "pioRecvPci"), c.listed) << c.keys;
    EXPECT_EQ(Member(reply, "cbPciLength"), c.length) << c.keys;
  }
}

TEST_F(Exchange, TransmitRepeatsItsCellsButNotItsTexts) {
  harness::Serve({
      R"({"i":"1","c":169,"p":1,"x":4,"w":"2,0,0,0,8,0,0,0","n":8,"g":"1,2","q":2,"m":"1,0,0,0,8","d":8,"f":5})",
      R"({"i":"2","c":169})",
  });
  const fake::Call& second = service().Last();
  EXPECT_EQ(second.handle, 4u);
  EXPECT_EQ(second.sendPci, Bytes(8, 0));
  EXPECT_EQ(second.input, (Bytes{0, 0}));
  EXPECT_EQ(second.recvPci, Bytes(8, 0));
  EXPECT_EQ(second.words, (std::vector<uint32_t>{2, 5}));
}

TEST_F(Exchange, TransmitErrorStillGivesEveryMember) {
  fake::Script s;
  s.result = static_cast<int32_t>(0x80100069u);
  s.touchOutputs = false;
  service().scripts.push_back(s);
  const std::string reply = Ask(R"({"i":"1","c":169,"f":10})");
  EXPECT_EQ(Keys(reply), (std::vector<std::string>{"i", "SCardTransmit", "resp", "pioRecvPci",
                                                   "cbPciLength", "pbRecvBuffer", "cbRecvLength"}));
  EXPECT_EQ(Member(reply, "SCardTransmit"), "-2146434967");
  EXPECT_EQ(Member(reply, "pbRecvBuffer"), "0,0,0,0,0,0,0,0,0,0") << "the untouched buffer";
  EXPECT_EQ(Member(reply, "cbRecvLength"), "10");
}

TEST_F(Exchange, TransmitLargestExtendedResponse) {
  fake::Script s;
  s.data.resize(65538);
  for (size_t i = 0; i < s.data.size(); ++i) s.data[i] = static_cast<uint8_t>(i * 7);
  service().scripts.push_back(s);
  const std::string reply = Ask(R"({"i":"1","c":169,"f":65538})");
  EXPECT_EQ(ParseByteList(Member(reply, "pbRecvBuffer")), s.data);
  EXPECT_EQ(Member(reply, "cbRecvLength"), "65538");
}

TEST_F(Exchange, ControlPassesCodeAndInputAndListsTheBytesReturned) {
  fake::Script s;
  s.data = {0x90, 0x00};
  service().scripts.push_back(s);
  const std::string reply =
      Ask(R"({"i":"1","c":111,"p":1,"x":3,"w":1107299656,"g":"1,2,3","q":3,"m":256})");
  EXPECT_EQ(reply, R"({"i":"1","SCardControl":"0","resp":"","pvOutBuffer":"144,0",)"
                   R"("cbOutBufferSize":"2"})");
  const fake::Call& call = service().Last();
  EXPECT_EQ(call.handle, 3u);
  EXPECT_EQ(call.words, (std::vector<uint32_t>{1107299656u, 3, 256, 256}));
  EXPECT_EQ(call.input, (Bytes{1, 2, 3}));
}

TEST_F(Exchange, ControlBufferRules) {
  const struct {
    const char* keys;
    bool inputNull;
    bool outputNull;
  } cases[] = {
      {R"("g":"NULL","q":2,"m":4)", true, false},
      {R"("q":2,"m":4)", false, false},
      {R"("g":"1","q":0,"m":4)", true, false},
      {R"("g":"1","q":1,"m":0)", false, false},  // an empty output buffer is still a buffer
      {R"("g":"1","q":1,"m":4294967295)", false, false},  // made lazily, whatever its size
  };
  for (const auto& c : cases) {
    harness::ResetHost();
    Ask(std::string(R"({"i":"1","c":111,)") + c.keys + "}");
    EXPECT_EQ(service().Last().inputNull, c.inputNull) << c.keys;
    EXPECT_EQ(service().Last().outputNull, c.outputNull) << c.keys;
  }
}

TEST_F(Exchange, ControlNeverListsPastTheOutputBuffer) {
  fake::Script none;
  none.data = {};
  fake::Script lying;
  lying.data = {5, 6};
  lying.length = 50;
  service().scripts = {none, lying};
  const std::string empty = Ask(R"({"i":"1","c":111,"m":4})");
  EXPECT_EQ(Member(empty, "pvOutBuffer"), "NULL");
  EXPECT_EQ(Member(empty, "cbOutBufferSize"), "0");
  const std::string over = Ask(R"({"i":"2","c":111,"m":2})");
  EXPECT_EQ(Member(over, "pvOutBuffer"), "5,6");
  EXPECT_EQ(Member(over, "cbOutBufferSize"), "50");
}

TEST_F(Exchange, ControlCodeCellIsItsOwn) {
  harness::Serve(
      {R"({"i":"1","c":111,"w":42})", R"({"i":"2","c":112,"w":7})", R"({"i":"3","c":111})"});
  EXPECT_EQ(service().Last().words[0], 42u);
}

TEST_F(Exchange, AttributeLengthQueries) {
  for (const char* keys : {R"("q":1,"m":100)", R"("q":0,"m":0)"}) {
    harness::ResetHost();
    fake::Script s;
    s.data = {1, 2, 3};
    service().scripts.push_back(s);
    const std::string reply = Ask(std::string(R"({"i":"1","c":122,"g":65794,)") + keys + "}");
    EXPECT_EQ(reply, R"({"i":"1","SCardGetAttrib":"0","resp":"","pbAttr":"NULL","cbAttrLen":"3"})");
    EXPECT_TRUE(service().Last().outputNull);
    EXPECT_EQ(service().Last().words, (std::vector<uint32_t>{65794, 0}));
  }
}

TEST_F(Exchange, AttributeInAClientSizedBuffer) {
  fake::Script s;
  s.data = {1, 2, 3};
  service().scripts.push_back(s);
  const std::string reply = Ask(R"({"i":"1","c":122,"g":7,"q":0,"m":32})");
  EXPECT_EQ(Member(reply, "pbAttr"), "1,2,3");
  EXPECT_EQ(Member(reply, "cbAttrLen"), "3");
  EXPECT_FALSE(service().Last().autoAllocate);
  EXPECT_EQ(service().Last().words[1], 32u);
}

TEST_F(Exchange, AttributeLengthAboveTheBufferIsNeverReadPast) {
  fake::Script s;
  s.data = {1, 2, 3, 4};
  s.length = 60000;
  service().scripts.push_back(s);
  const std::string reply = Ask(R"({"i":"1","c":122,"g":7,"q":0,"m":4})");
  EXPECT_EQ(Member(reply, "pbAttr"), "1,2,3,4");
  EXPECT_EQ(Member(reply, "cbAttrLen"), "60000");
}

TEST_F(Exchange, AttributeAllocatedByTheServiceIsListedAndFreedOnce) {
  for (const char* m : {"4294967295", "-1"}) {
    harness::ResetHost();
    fake::Script s;
    s.data = {9, 8, 7};
    service().scripts.push_back(s);
    host::g_handleSlots.context = 0x55;
    const std::string reply = Ask(std::string(R"({"i":"1","c":122,"q":0,"m":)") + m + "}");
    EXPECT_EQ(Member(reply, "pbAttr"), "9,8,7");
    EXPECT_TRUE(service().calls[0].autoAllocate);
    ASSERT_EQ(service().calls.size(), 2u);
    EXPECT_EQ(service().calls[1].name, "SCardFreeMemory");
    EXPECT_EQ(service().calls[1].handle, 0x55u) << "freed on the current context";
    EXPECT_TRUE(service().outstanding.empty());
    EXPECT_EQ(service().badFrees, 0);
  }
}

TEST_F(Exchange, AttributeListingLimitAndErrors) {
  const struct {
    int32_t result;
    size_t size;
    const char* m;
    bool listed;
  } cases[] = {
      {0, 65559, "4294967295", true},
      {0, 65560, "4294967295", false},
      {0, 65559, "70000", true},
      {0, 65560, "70000", false},
      {static_cast<int32_t>(0x80100008u), 3, "4294967295", false},
      {static_cast<int32_t>(0x80100008u), 3, "10", false},
  };
  for (const auto& c : cases) {
    harness::ResetHost();
    fake::Script s;
    s.result = c.result;
    s.data.assign(c.size, 1);
    s.allocateOnFailure = true;
    service().scripts.push_back(s);
    const std::string reply = Ask(std::string(R"({"i":"1","c":122,"q":0,"m":)") + c.m + "}");
    const std::string pbAttr = Member(reply, "pbAttr");
    EXPECT_EQ(pbAttr != "NULL", c.listed) << c.size << " " << c.m;
    if (c.listed) {
      EXPECT_EQ(ParseByteList(pbAttr).size(), c.size);
    }
    EXPECT_EQ(Member(reply, "cbAttrLen"), std::to_string(c.size));
    EXPECT_TRUE(service().outstanding.empty()) << "freed also after a failure";
  }
}

TEST_F(Exchange, AttributeIdentifierCellIsKept) {
  harness::Serve({R"({"i":"1","c":122,"g":590595,"q":1})", R"({"i":"2","c":122})"});
  EXPECT_EQ(service().Last().words[0], 590595u);
}

using ExchangeDeath = Exchange;

// Only memory that really runs out ends the host: here the address space is limited to 1 GiB.
TEST_F(ExchangeDeath, AttributeBufferThatCannotBeMadeEndsTheHostWithNoMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer reserves terabytes of address space and aborts when it runs out";
#endif
  const auto askWithLittleAddressSpace = [] {
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = rlim_t{1} << 30;
    setrlimit(RLIMIT_AS, &limit);
    Ask(R"({"i":"1","c":122,"q":0,"m":4294967294})");
  };
  EXPECT_EXIT(askWithLittleAddressSpace(), ::testing::ExitedWithCode(0x80100006 & 0xFF), "");
}

// A large attribute buffer is made as asked; the call goes out with it and the host answers.
TEST_F(Exchange, AttributeBufferAbove16MiBIsMadeAndAnswered) {
  fake::Script s;
  s.data = {1, 2, 3};
  service().scripts = {s, s};
  for (const char* m : {"20000000", "4294967294"}) {
    const std::string reply = Ask(std::string(R"({"i":"1","c":122,"g":7,"q":0,"m":)") + m + "}");
    EXPECT_EQ(Member(reply, "pbAttr"), "1,2,3") << m;
    EXPECT_FALSE(service().Last().outputNull) << m;
    EXPECT_EQ(std::to_string(service().Last().words[1]), m);
  }
}

}  // namespace
