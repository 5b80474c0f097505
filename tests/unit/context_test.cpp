// Context commands and the Handle bytes rules they share with every other command.
#include <gtest/gtest.h>

#include "host/arguments.h"
#include "host_harness.h"

namespace {

using harness::Ask;
using harness::Keys;
using harness::Member;
using host::g_handleSlots;

class Context : public ::testing::Test {
 protected:
  void SetUp() override { harness::ResetHost(); }
  static fake::Service& service() { return fake::g_service; }
};

TEST_F(Context, StartedEventIsAskedForOnceItExists) {
  EXPECT_EQ(Ask(R"({"i":"1","c":103})"), R"({"i":"1","SCardAccessStartedEvent":"0","resp":""})");
  EXPECT_EQ(Ask(R"({"i":"2","c":103})"), R"({"i":"2","SCardAccessStartedEvent":"0","resp":""})");
  EXPECT_EQ(service().calls.size(), 1u);
}

TEST_F(Context, NoStartedEventMeansNoServiceAndIsAskedAgain) {
  fake::Script none;
  none.event = 0;
  service().scripts = {none, none};
  EXPECT_EQ(Ask(R"({"i":"1","c":103})"),
            R"({"i":"1","SCardAccessStartedEvent":"-2146435043","resp":""})");
  EXPECT_EQ(Member(Ask(R"({"i":"2","c":103})"), "SCardAccessStartedEvent"), "-2146435043");
  EXPECT_EQ(Member(Ask(R"({"i":"3","c":103})"), "SCardAccessStartedEvent"), "0");
  EXPECT_EQ(service().calls.size(), 3u);
  EXPECT_EQ(g_handleSlots.event, 1u);
}

TEST_F(Context, EstablishStoresTheContextAndReportsItsBytes) {
  fake::Script s;
  s.handle = 0x10203;
  service().scripts.push_back(s);
  EXPECT_EQ(Ask(R"({"i":"1","c":114,"p":2})"),
            R"({"i":"1","SCardEstablishContext":"0","resp":"","cbContext":"8",)"
            R"("pbContext0":"3","pbContext1":"2","pbContext2":"1","pbContext3":"0",)"
            R"("pbContext4":"0","pbContext5":"0","pbContext6":"0","pbContext7":"0"})");
  EXPECT_EQ(service().Last().words, std::vector<uint32_t>{2});
  EXPECT_EQ(g_handleSlots.context, 0x10203u);
}

TEST_F(Context, EstablishReportsTheSlotAsTheServiceLeftItAfterAFailure) {
  g_handleSlots.context = 0xFF00000000000001u;
  fake::Script s;
  s.result = static_cast<int32_t>(0x8010001Du);
  s.touchOutputs = false;
  service().scripts.push_back(s);
  const std::string reply = Ask(R"({"i":"1","c":114})");
  EXPECT_EQ(Member(reply, "SCardEstablishContext"), "-2146435043");
  EXPECT_EQ(Member(reply, "cbContext"), "8");
  EXPECT_EQ(Member(reply, "pbContext0"), "1");
  EXPECT_EQ(Member(reply, "pbContext7"), "255");
}

TEST_F(Context, EstablishScopeCellIsKept) {
  harness::Serve({R"({"i":"1","c":114,"p":0})", R"({"i":"2","c":114})",
                  R"({"i":"3","c":114,"p":2})", R"({"i":"4","c":114})"});
  ASSERT_EQ(service().calls.size(), 4u);
  EXPECT_EQ(service().calls[1].words[0], 0u);
  EXPECT_EQ(service().calls[3].words[0], 2u);
}

TEST_F(Context, ReleaseAndCancelRepliesHaveThreeMembers) {
  EXPECT_EQ(Keys(Ask(R"({"i":"1","c":160})")),
            (std::vector<std::string>{"i", "SCardReleaseContext", "resp"}));
  EXPECT_EQ(Keys(Ask(R"({"i":"1","c":108})")),
            (std::vector<std::string>{"i", "SCardCancel", "resp"}));
}

TEST_F(Context, ReleaseWithCountZeroUsesTheStoredContext) {
  fake::Script s;
  s.handle = 0xAABBCCDD11223344u;
  service().scripts.push_back(s);
  harness::Serve({R"({"i":"1","c":114,"p":2})", R"({"i":"2","c":160,"p":0,"x":9,"y":9})"});
  EXPECT_EQ(service().Last().name, "SCardReleaseContext");
  EXPECT_EQ(service().Last().handle, 0xAABBCCDD11223344u);
  EXPECT_EQ(g_handleSlots.context, 0xAABBCCDD11223344u) << "releasing never clears the slot";
}

// Each command reads its bytes with its own key set: W for release, S for cancel.
TEST_F(Context, KeySetsPlaceEachKeyInItsByte) {
  const std::string all =
      R"("x":1,"y":2,"z":3,"w":4,"m":5,"s":6,"t":7,"k":8,"l":9,"b":10,"h":11,"j":12)";
  Ask(R"({"i":"1","c":160,"p":8,)" + all + "}");
  EXPECT_EQ(service().Last().handle, 0x0807060504030201u);
  Ask(R"({"i":"1","c":108,"p":8,)" + all + "}");
  EXPECT_EQ(service().Last().handle, 0x0C0B0A0906030201u);
}

TEST_F(Context, HandleCountCopiesThatManyLowBytes) {
  const struct {
    const char* count;
    uint64_t slot;
  } cases[] = {
      {"8", 0x0807060504030201u},   {"0", 0x1111111111111111u},
      {"2", 0x1111111111110201u},   {"4", 0x1111111104030201u},
      {"9", 0x0807060504030201u},   {"100", 0x0807060504030201u},  // clamped to the slot
      {"-1", 0x1111111111111111u},  {"-2147483648", 0x1111111111111111u},
      {"2.7", 0x1111111111110201u},
  };
  for (const auto& c : cases) {
    harness::ResetHost();
    g_handleSlots.context = 0x1111111111111111u;
    Ask(std::string(R"({"i":"1","c":108,"p":)") + c.count +
        R"(,"x":1,"y":2,"z":3,"s":4,"l":5,"b":6,"h":7,"j":8})");
    EXPECT_EQ(service().Last().handle, c.slot) << c.count;
    EXPECT_EQ(g_handleSlots.context, c.slot) << c.count;
  }
}

TEST_F(Context, HandleByteKeepsLow8Bits) {
  Ask(R"({"i":"1","c":108,"p":4,"x":256,"y":300,"z":-1,"s":1.9})");
  EXPECT_EQ(service().Last().handle, 0x01FF2C00u);
}

// Cells belong to one command: cancel's "x" never reaches release, and a missing key keeps the
// value of the same command's latest request.
TEST_F(Context, HandleCellsArePerCommand) {
  harness::Serve({
      R"({"i":"1","c":108,"p":1,"x":5})",
      R"({"i":"2","c":160,"p":1})",
      R"({"i":"3","c":108})",
      R"({"i":"4","c":160,"x":7})",
      R"({"i":"5","c":160})",
  });
  const auto calls = service().calls;
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].handle, 5u);
  EXPECT_EQ(calls[1].handle, 0u) << "release's own x cell is still zero";
  EXPECT_EQ(calls[2].handle, 5u);
  EXPECT_EQ(calls[3].handle, 7u);
  EXPECT_EQ(calls[4].handle, 7u);
}

// A type error part-way leaves the cells read before it changed, and makes no call.
TEST_F(Context, CellsReadBeforeATypeErrorKeepTheirValues) {
  const auto replies =
      harness::Serve({R"({"i":"1","c":108,"p":1,"x":9,"y":"bad"})", R"({"i":"2","c":108})"});
  ASSERT_EQ(replies.size(), 1u);
  ASSERT_EQ(service().calls.size(), 1u);
  EXPECT_EQ(service().calls[0].handle, 9u);
}

}  // namespace
