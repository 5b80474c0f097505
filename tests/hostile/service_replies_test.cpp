// What the host makes of a service that misbehaves: lengths beyond the buffers it was given,
// lengths beyond any list, success without memory. The host must never read past a buffer,
// must give every piece of service memory back, and must still answer with the command's
// reply members.
#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host_harness.h"
#include "pcsc/platform.h"
#include "pcsc/records.h"

namespace {

using harness::Ask;
using harness::Member;
using harness::ParseByteList;

struct LyingCase {
  const char* name;
  std::string request;
  fake::Script script;
  const char* listMember;    // the Byte list member that shows the service's bytes
  const char* lengthMember;  // the member that reports the service's length
  std::string expectedList;  // exact text, or "" to check only the count below
  size_t mostValues;         // the Byte list never holds more values than the buffer had
  std::string expectedLength;
};

fake::Script Lying(std::vector<uint8_t> data, uint32_t reported) {
  fake::Script s;
  s.data = std::move(data);
  s.length = reported;
  return s;
}

fake::Script NoMemory(uint32_t reported) {
  fake::Script s;
  s.leavePointerNull = true;
  s.length = reported;
  return s;
}

std::vector<LyingCase> Cases() {
  const std::string card = R"("p":8,"x":1,"y":2,"z":3,"s":4,"l":0,"b":0,"h":0,"j":0)";
  return {
      // Service-allocated lists whose length claims more than any list holds.
      {"GroupsLengthAllOnes", R"({"i":"1","c":147,"p":0})", Lying({65, 0, 0}, 0xFFFFFFFFu),
       "mszGroups", "cchGroups", "NULL", 0, "4294967295"},
      {"ReadersLengthAllOnes", R"({"i":"1","c":149,"p":0})", Lying({65, 0, 0}, 0xFFFFFFFFu),
       "mszReaders", "cchReaders", "NULL", 0, "4294967295"},
      {"ReadersLengthAbove16MiB", R"({"i":"1","c":149,"p":0})", Lying({65, 0, 0}, 16777217),
       "mszReaders", "cchReaders", "NULL", 0, "16777217"},
      {"StatusNamesLengthAllOnes", "{\"i\":\"1\",\"c\":167," + card + ",\"w\":-1,\"g\":0}",
       Lying({65, 0, 0}, 0xFFFFFFFFu), "mszReaderNames", "cchReaderLen", "NULL", 0, "4294967295"},
      {"AttributeLengthAllOnes", "{\"i\":\"1\",\"c\":122," + card + ",\"g\":1,\"q\":0,\"m\":-1}",
       Lying({1, 2, 3}, 0xFFFFFFFFu), "pbAttr", "cbAttrLen", "NULL", 0, "4294967295"},
      // Success without memory: nothing to list, and nothing to give back.
      {"GroupsNoMemory", R"({"i":"1","c":147,"p":0})", NoMemory(6), "mszGroups", "cchGroups",
       "NULL", 0, "6"},
      {"ReadersNoMemory", R"({"i":"1","c":149,"p":0})", NoMemory(6), "mszReaders", "cchReaders",
       "NULL", 0, "0"},
      {"StatusNamesNoMemory", "{\"i\":\"1\",\"c\":167," + card + ",\"w\":-1,\"g\":0}", NoMemory(6),
       "mszReaderNames", "cchReaderLen", "NULL", 0, "6"},
      {"AttributeNoMemory", "{\"i\":\"1\",\"c\":122," + card + ",\"g\":1,\"q\":0,\"m\":-1}",
       NoMemory(6), "pbAttr", "cbAttrLen", "NULL", 0, "6"},
      // Client-sized buffers whose reported length claims more than they hold.
      {"TransmitReceivedAboveBuffer",
       "{\"i\":\"1\",\"c\":169," + card + ",\"g\":\"0,164\",\"q\":2,\"f\":4,\"t\":0,\"d\":0}",
       Lying({144, 0, 1, 2, 3, 4, 5}, 70000), "pbRecvBuffer", "cbRecvLength", "144,0,1,2", 4,
       "70000"},
      {"ControlReturnedAboveBuffer", "{\"i\":\"1\",\"c\":111," + card + ",\"w\":1,\"q\":0,\"m\":3}",
       Lying({7, 8, 9, 10}, 0xFFFFFFFFu), "pvOutBuffer", "cbOutBufferSize", "7,8,9", 3,
       "4294967295"},
      {"AttributeAboveClientBuffer", "{\"i\":\"1\",\"c\":122," + card + ",\"g\":1,\"q\":0,\"m\":2}",
       Lying({5, 6, 7}, 65559), "pbAttr", "cbAttrLen", "5,6", 2, "65559"},
      {"StatusNamesAboveClientBuffer", "{\"i\":\"1\",\"c\":167," + card + ",\"w\":3,\"g\":0}",
       Lying({65, 0, 0, 0, 0}, 500), "mszReaderNames", "cchReaderLen", "65,0,0", 3, "500"},
  };
}

class LyingService : public ::testing::TestWithParam<LyingCase> {
 protected:
  void SetUp() override { harness::ResetHost(); }
};

TEST_P(LyingService, NeverListsBeyondTheBufferAndGivesMemoryBack) {
  const LyingCase& c = GetParam();
  fake::g_service.scripts.push_back(c.script);
  const std::string reply = Ask(c.request);
  const std::string list = Member(reply, c.listMember);
  if (!c.expectedList.empty()) {
    EXPECT_EQ(list, c.expectedList);
  }
  EXPECT_LE(ParseByteList(list).size(), c.mostValues);
  EXPECT_EQ(Member(reply, c.lengthMember), c.expectedLength);
  EXPECT_TRUE(fake::g_service.outstanding.empty()) << "service memory not given back";
  EXPECT_EQ(fake::g_service.badFrees, 0);
}

INSTANTIATE_TEST_SUITE_P(Hostile, LyingService, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A record the service rewrote with a name that fills its whole field and a huge ATR length
// comes back as 200 bytes per record, with no byte from outside the array.
TEST(LyingServiceStates, RewrittenRecordsStayInsideTheArray) {
  harness::ResetHost();
  fake::Script s;
  s.editStates = [](uint8_t* records, uint32_t count) {
    for (uint32_t i = 0; i < count * 200; ++i) records[i] = 0xEE;
  };
  fake::g_service.scripts.push_back(s);
  const std::string reply = Ask(R"({"i":"1","c":133,"p":0,"m":0,"w":2})");
  const std::vector<uint8_t> records = ParseByteList(Member(reply, "rgReaderStates"));
  EXPECT_EQ(records.size(), 400u);
  EXPECT_EQ(Member(reply, "cReaders"), "2");
}

}  // namespace

namespace {

// pcsc-lite's record: a name that fills its whole wire field reaches the service terminated,
// from a private copy, and comes back unchanged; an ATR length beyond rgbAtr is cut to it.
TEST(ReaderStateRecords, NameWithoutTerminatorReachesTheServiceTerminated) {
  std::vector<uint8_t> wire(2 * pcsc::kWireReaderStateSize, 0xAB);
  std::vector<SCARD_READERSTATE> platform(2);
  std::vector<pcsc::ReaderNameCopy> names(2);
  pcsc::ReaderStatesToPlatform(wire.data(), 2, platform.data(), names.data());
  for (const SCARD_READERSTATE& state : platform) {
    ASSERT_NE(state.szReader, nullptr);
    EXPECT_EQ(std::strlen(state.szReader), pcsc::kWireReaderNameSize);
    EXPECT_LE(state.cbAtr, sizeof state.rgbAtr);
  }
  // The service reports an ATR length far beyond its array.
  platform[1].cbAtr = 0xFFFFFFFFu;
  pcsc::ReaderStatesFromPlatform(platform.data(), 2, wire.data());
  for (size_t i = 0; i < pcsc::kWireReaderNameSize; ++i) ASSERT_EQ(wire[i], 0xAB) << i;
  EXPECT_EQ(wire[pcsc::kWireReaderStateSize + 152], 0xFF);
  EXPECT_EQ(wire[pcsc::kWireReaderStateSize + 196], 0) << "padding is zero";
}

}  // namespace
