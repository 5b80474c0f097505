// Chrome and Firefox drop the port on any host message above 1 MiB. The host's largest replies,
// with every output at the smart-card service's maximum and every byte a three-digit value,
// must stay below that. Sizes are printed for the record.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host_harness.h"

namespace {

constexpr size_t kBrowserMessageLimit = 1024 * 1024;
// pcsc-lite's largest transmit and control buffers (MAX_BUFFER_SIZE_EXTENDED), its most reader
// states per wait and readers per context, its longest reader name, and the longest attribute
// the host lists.
constexpr uint32_t kMaxBuffer = 4 + 3 + 65536 + 3 + 2;
constexpr uint32_t kMaxReaders = 16;
constexpr size_t kMaxReaderName = 127;
constexpr uint32_t kMaxListedAttribute = 65559;

const std::string kCard = R"("p":8,"x":1,"y":2,"z":3,"s":4,"l":5,"b":6,"h":7,"j":8)";

struct Case {
  const char* name;
  std::function<void(fake::Script&)> script;
  std::string request;
  const char* listMember;  // the member that must carry the whole output
  size_t listedBytes;
};

std::vector<uint8_t> Filled(size_t count) {
  return std::vector<uint8_t>(count, 255);
}

std::vector<uint8_t> ReaderNames() {
  std::vector<uint8_t> names;
  for (uint32_t r = 0; r < kMaxReaders; ++r) {
    names.insert(names.end(), kMaxReaderName, 'z');
    names.push_back(0);
  }
  names.push_back(0);
  return names;
}

std::string States() {
  std::vector<uint8_t> records;
  for (uint32_t r = 0; r < kMaxReaders; ++r) {
    std::vector<uint8_t> record(200, 255);
    for (size_t i = kMaxReaderName; i < 128; ++i) record[i] = 0;
    records.insert(records.end(), record.begin(), record.end());
  }
  return harness::ByteList(records);
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"SCardTransmit", [](fake::Script& s) { s.data = Filled(kMaxBuffer); },
       R"({"i":"t1","c":169,)" + kCard +
           R"(,"w":"2,0,0,0,8,0,0,0","n":8,"g":"0,176,0,0,0,0,0","q":7,"m":"NULL","d":0,"f":)" +
           std::to_string(kMaxBuffer) + R"(,"t":0})",
       "pbRecvBuffer", kMaxBuffer},
      {"SCardControl", [](fake::Script& s) { s.data = Filled(kMaxBuffer); },
       R"({"i":"t2","c":111,)" + kCard + R"(,"w":1,"g":"NULL","q":0,"m":)" +
           std::to_string(kMaxBuffer) + "}",
       "pvOutBuffer", kMaxBuffer},
      {"SCardGetAttrib", [](fake::Script& s) { s.data = Filled(kMaxListedAttribute); },
       R"({"i":"t3","c":122,)" + kCard + R"(,"g":1,"q":0,"m":4294967295})", "pbAttr",
       kMaxListedAttribute},
      {"SCardListReaders", [](fake::Script& s) { s.data = ReaderNames(); },
       R"({"i":"t4","c":149,)" + kCard + R"(,"m":"","k":0})", "mszReaders",
       kMaxReaders * (kMaxReaderName + 1) + 1},
      {"SCardGetStatusChange", [](fake::Script&) {},
       R"({"i":"t5","c":133,)" + kCard + R"(,"m":0,"k":")" + States() + R"(","w":16})",
       "rgReaderStates", kMaxReaders * 200},
  };
  return cases;
}

TEST(MessageSize, LargestRepliesStayUnderTheBrowserLimit) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    harness::ResetHost();
    fake::Script script;
    c.script(script);
    fake::g_service.scripts.push_back(script);
    const std::string reply = harness::Ask(c.request);
    // The reply really carries the maximum: a truncated one would prove nothing.
    ASSERT_EQ(harness::ParseByteList(harness::Member(reply, c.listMember)).size(), c.listedBytes);
    EXPECT_LT(reply.size(), kBrowserMessageLimit);
    std::printf("%-22s %7zu bytes listed, reply %7zu bytes (limit %zu)\n", c.name, c.listedBytes,
                reply.size(), kBrowserMessageLimit);
  }
}

}  // namespace
