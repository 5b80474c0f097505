// Reader and group lists, card status and reader state changes.
#include <gtest/gtest.h>

#include "host/arguments.h"
#include "host_harness.h"

namespace {

using harness::Ask;
using harness::ByteList;
using harness::Keys;
using harness::Member;
using harness::ParseByteList;
using Bytes = std::vector<uint8_t>;

class Readers : public ::testing::Test {
 protected:
  void SetUp() override { harness::ResetHost(); }
  void TearDown() override {
    EXPECT_TRUE(service().outstanding.empty()) << "service memory not given back";
    EXPECT_EQ(service().badFrees, 0);
  }
  static fake::Service& service() { return fake::g_service; }
};

TEST_F(Readers, GroupsAreListedWholeAndFreed) {
  fake::Script s;
  s.data = {'A', 'B', 0, 'C', 0, 0};
  service().scripts.push_back(s);
  host::g_handleSlots.context = 0x77;
  EXPECT_EQ(Ask(R"({"i":"1","c":147,"m":true})"),
            R"({"i":"1","SCardListReaderGroupsA":"0","resp":"","mszGroups":"65,66,0,67,0,0",)"
            R"("cchGroups":"6"})");
  EXPECT_TRUE(service().calls[0].autoAllocate);
  EXPECT_EQ(service().calls[0].words[0], 0xFFFFFFFFu);
  ASSERT_EQ(service().calls.size(), 2u);
  EXPECT_EQ(service().calls[1].name, "SCardFreeMemory");
  EXPECT_EQ(service().calls[1].handle, 0x77u);
}

TEST_F(Readers, FailedGroupListShowsTheUntouchedLength) {
  fake::Script s;
  s.result = static_cast<int32_t>(0x8010002Eu);
  s.touchOutputs = false;
  service().scripts.push_back(s);
  EXPECT_EQ(Ask(R"({"i":"1","c":147})"),
            R"({"i":"1","SCardListReaderGroupsA":"-2146435026","resp":"","mszGroups":"NULL",)"
            R"("cchGroups":"4294967295"})");
  EXPECT_EQ(service().calls.size(), 1u) << "nothing to free";
}

TEST_F(Readers, ReadersAreListedAfterTheirLength) {
  const Bytes list = {'R', ' ', '0', 0, 'S', 0, 0};
  fake::Script s;
  s.data = list;
  service().scripts.push_back(s);
  EXPECT_EQ(Ask(R"({"i":"1","c":149})"),
            R"({"i":"1","SCardListReadersA":"0","resp":"","cchReaders":"7",)"
            R"("mszReaders":"82,32,48,0,83,0,0"})");
  EXPECT_TRUE(service().calls[0].textNull) << "no filter";
}

TEST_F(Readers, FailedReaderListReportsZeroWhateverTheLength) {
  fake::Script s;
  s.result = static_cast<int32_t>(0x8010002Eu);
  s.length = 55;
  service().scripts.push_back(s);
  EXPECT_EQ(Ask(R"({"i":"1","c":149})"),
            R"({"i":"1","SCardListReadersA":"-2146435026","resp":"","cchReaders":"0",)"
            R"("mszReaders":"NULL"})");
}

// The groups filter is made from "m" with length "k"; the service always finds the double NUL
// that ends it inside the buffer.
TEST_F(Readers, GroupsFilterRules) {
  const struct {
    const char* keys;
    bool null;
    std::string filter;  // as the service reads it, up to and including the final NUL
  } cases[] = {
      {R"("m":"65,0,0","k":0)", true, ""},
      {R"("k":2)", false, std::string(1, '\0')},
      {R"("m":"NULL","k":3)", false, std::string(1, '\0')},
      {R"("m":"65,66,0,67,0,0","k":6)", false, std::string("AB\0C\0\0", 6)},
      {R"("m":"65,66,0,67,0,0","k":3)", false, std::string("AB\0\0", 4)},
      {R"("m":"65,66","k":2)", false, std::string("AB\0\0", 4)},  // unterminated: host ends it
      {R"("m":"65","k":-4)", true, ""},
  };
  for (const auto& c : cases) {
    harness::ResetHost();
    Ask(std::string(R"({"i":"1","c":149,)") + c.keys + "}");
    EXPECT_EQ(service().calls[0].textNull, c.null) << c.keys;
    EXPECT_EQ(service().calls[0].text, c.filter) << c.keys;
  }
}

TEST_F(Readers, ListKeysThatAreReadAndDiscardedMustStillBeNumbers) {
  const auto replies =
      harness::Serve({R"({"i":"1","c":147,"m":"x"})", R"({"i":"2","c":149,"t":"x"})",
                      R"({"i":"3","c":149,"t":1})"});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(Member(replies[0], "i"), "3");
}

TEST_F(Readers, GroupsLengthCellIsKept) {
  harness::Serve({R"({"i":"1","c":149,"m":"65","k":3})", R"({"i":"2","c":149})"});
  EXPECT_FALSE(service().Last().textNull);
}

TEST_F(Readers, StatusWithLengthQueriesOnly) {
  fake::Script s;
  s.data = {'A', 0, 0};
  s.atr = {0x3B, 0x00};
  s.state = 0x34;
  s.protocol = 2;
  service().scripts.push_back(s);
  EXPECT_EQ(Ask(R"({"i":"1","c":167,"w":0,"g":0})"),
            R"({"i":"1","SCardStatusA":"0","resp":"","mszReaderNames":"NULL","cchReaderLen":"3",)"
            R"("dwState":"52","dwProtocol":"2","pbAtr":"NULL","cbAtrLen":"2"})");
  EXPECT_TRUE(service().Last().outputNull);
  EXPECT_TRUE(service().Last().atrNull);
}

TEST_F(Readers, StatusWithNamesAllocatedAndAtr) {
  for (const char* w : {"4294967295", "-1"}) {
    harness::ResetHost();
    fake::Script s;
    s.data = {'A', 'B', 0, 0};
    s.atr.assign(19, 0x3B);
    service().scripts.push_back(s);
    const std::string reply = Ask(std::string(R"({"i":"1","c":167,"g":32,"w":)") + w + "}");
    EXPECT_EQ(Member(reply, "mszReaderNames"), "65,66,0,0");
    EXPECT_EQ(Member(reply, "cchReaderLen"), "4");
    EXPECT_EQ(ParseByteList(Member(reply, "pbAtr")), Bytes(19, 0x3B));
    EXPECT_EQ(Member(reply, "cbAtrLen"), "19");
    EXPECT_TRUE(service().calls[0].autoAllocate);
    EXPECT_EQ(service().calls.back().name, "SCardFreeMemory");
  }
}

TEST_F(Readers, StatusReplyMemberOrder) {
  EXPECT_EQ(Keys(Ask(R"({"i":"1","c":167})")),
            (std::vector<std::string>{"i", "SCardStatusA", "resp", "mszReaderNames", "cchReaderLen",
                                      "dwState", "dwProtocol", "pbAtr", "cbAtrLen"}));
}

TEST_F(Readers, StatusLengthsCarryOverFromTheLastCall) {
  fake::Script first;
  first.data = {'A', 'B', 0, 0};
  first.atr.assign(19, 1);
  service().scripts = {first, first};
  harness::Serve({R"({"i":"1","c":167,"w":-1,"g":32})", R"({"i":"2","c":167})"});
  const std::vector<fake::Call> calls = service().ServiceCalls();  // returned by value: keep it
  const fake::Call& second = calls[1];
  EXPECT_EQ(second.words, (std::vector<uint32_t>{4, 19}));
  EXPECT_FALSE(second.autoAllocate) << "a length of 4 gets a real 4-byte buffer";
  EXPECT_FALSE(second.outputNull);
}

TEST_F(Readers, StatusFailureWithUntouchedOutputs) {
  fake::Script s;
  s.result = static_cast<int32_t>(0x80100069u);
  s.touchOutputs = false;
  service().scripts.push_back(s);
  const std::string reply = Ask(R"({"i":"1","c":167,"w":4294967295,"g":32})");
  EXPECT_EQ(Member(reply, "mszReaderNames"), "NULL");
  EXPECT_EQ(Member(reply, "cchReaderLen"), "4294967295");
  EXPECT_EQ(Member(reply, "dwState"), "0");
  EXPECT_EQ(ParseByteList(Member(reply, "pbAtr")), Bytes(32, 0)) << "a cleared buffer";
  EXPECT_EQ(Member(reply, "cbAtrLen"), "32");
}

// No byte of an earlier card's ATR reaches a later reply, and a capacity above the ATR buffer
// is cut to the buffer.
TEST_F(Readers, StatusAtrBufferIsClearedAndBounded) {
  fake::Script first;
  first.atr.assign(33, 0xEE);
  fake::Script second;
  second.atr = {1, 2};
  second.atrLength = 10;  // claims more than it wrote
  fake::Script third;
  third.atr.assign(36, 7);
  third.atrLength = 500;
  service().scripts = {first, second, third};
  Ask(R"({"i":"1","c":167,"w":0,"g":33})");
  const std::string reply = Ask(R"({"i":"2","c":167,"g":33})");
  EXPECT_EQ(ParseByteList(Member(reply, "pbAtr")), (Bytes{1, 2, 0, 0, 0, 0, 0, 0, 0, 0}));
  const std::string big = Ask(R"({"i":"3","c":167,"g":100000})");
  EXPECT_EQ(service().Last().words[1], 36u) << "capacity cut to the buffer";
  EXPECT_EQ(ParseByteList(Member(big, "pbAtr")), Bytes(36, 7));
  EXPECT_EQ(Member(big, "cbAtrLen"), "500");
}

TEST_F(Readers, StatusNamesInAClientSizedBufferAreNeverReadPast) {
  fake::Script s;
  s.data = {'L', 'o', 'n', 'g', ' ', 'n', 'a', 'm', 'e', 0, 0};
  service().scripts.push_back(s);
  const std::string reply = Ask(R"({"i":"1","c":167,"w":5,"g":0})");
  EXPECT_FALSE(service().Last().outputNull);
  EXPECT_EQ(Member(reply, "mszReaderNames"), "76,111,110,103,32");
  EXPECT_EQ(Member(reply, "cchReaderLen"), "11");
}

std::vector<uint8_t> Record(const std::string& name) {
  Bytes record(200, 0);
  std::copy(name.begin(), name.end(), record.begin());
  return record;
}

TEST_F(Readers, StateChangeSendsAndReturnsWholeRecords) {
  Bytes records = Record("Reader 0");
  for (int i = 128; i < 200; ++i) records[i] = static_cast<uint8_t>(i);
  fake::Script s;
  s.editStates = [](uint8_t* r, uint32_t count) {
    ASSERT_EQ(count, 1u);
    r[144] = 0x22;  // event state
  };
  service().scripts.push_back(s);
  host::g_handleSlots.context = 0;
  const std::string reply =
      Ask(R"({"i":"1","c":133,"p":1,"x":3,"m":5000,"w":1,"k":")" + ByteList(records) + R"("})");
  const fake::Call& call = service().Last();
  EXPECT_EQ(call.handle, 3u);
  EXPECT_EQ(call.words, (std::vector<uint32_t>{5000, 1}));
  EXPECT_EQ(call.input, records);
  EXPECT_EQ(Member(reply, "cReaders"), "1");
  const Bytes back = ParseByteList(Member(reply, "rgReaderStates"));
  ASSERT_EQ(back.size(), 200u);
  EXPECT_EQ(back[144], 0x22);
  EXPECT_EQ(Keys(reply), (std::vector<std::string>{"i", "SCardGetStatusChangeA", "resp",
                                                   "rgReaderStates", "cReaders"}));
}

TEST_F(Readers, StateChangeArrayRules) {
  const struct {
    const char* keys;
    bool null;
    size_t size;
  } cases[] = {
      {R"("w":0,"k":"1,2")", true, 0},
      {R"("w":2)", false, 400},
      {R"("w":1,"k":"NULL")", false, 200},
      {R"("w":1,"k":"1,2,3")", false, 200},
      // Arrays too large for a 32-bit size or for the host's buffers are never made.
      {R"("w":10737419)", true, 0},
      {R"("w":4294967295)", true, 0},
      {R"("w":-1)", true, 0},
  };
  for (const auto& c : cases) {
    harness::ResetHost();
    const std::string reply = Ask(std::string(R"({"i":"1","c":133,)") + c.keys + "}");
    EXPECT_EQ(service().Last().inputNull, c.null) << c.keys;
    EXPECT_EQ(service().Last().input.size(), c.size) << c.keys;
    const std::string listed = Member(reply, "rgReaderStates");
    EXPECT_EQ(listed == "NULL" ? 0 : ParseByteList(listed).size(), c.size) << c.keys;
  }
}

TEST_F(Readers, StateChangeCellsAreKept) {
  harness::Serve({R"({"i":"1","c":133,"m":100,"w":2})", R"({"i":"2","c":133})"});
  EXPECT_EQ(service().Last().words, (std::vector<uint32_t>{100, 2}));
  EXPECT_EQ(service().Last().input, Bytes(400, 0));
}

}  // namespace
