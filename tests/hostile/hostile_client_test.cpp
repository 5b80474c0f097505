// A hostile client against the host binary (over the fake service, which answers every call with
// success and empty outputs): wrong types at every key of every command, lengths and counts
// outside every buffer, deep and huge JSON, invalid UTF-8, lying length prefixes. Each request is
// either answered as documented or dropped; the host stays alive, serves the next request, and
// its peak memory stays bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "command_keys.h"
#include "driver/host_driver.h"

namespace hostile {
namespace {

using driver::Finish;
using driver::Frame;
using driver::PeakRssKb;
using driver::ReadReply;

constexpr int kReplyMs = 20000;  // generous: the sanitizer build is slow

#ifndef TESSERA_RSS_SCALE
#define TESSERA_RSS_SCALE 1
#endif
#ifndef TESSERA_RSS_SHADOW_KB
#define TESSERA_RSS_SHADOW_KB 0
#endif

const std::string kProbe = R"({"i":"probe","c":103})";

std::string Id(const std::string& reply) {
  try {
    const nlohmann::json j = nlohmann::json::parse(reply);
    return j.at("i").get<std::string>();
  } catch (const nlohmann::json::exception&) {
    return "<not a reply>";
  }
}

nlohmann::ordered_json Parse(const std::string& reply) {
  return nlohmann::ordered_json::parse(reply);
}

class HostileClient : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(driver::StartHost(host_, {TESSERA_FAKE_HOST})); }
  void TearDown() override {
    if (host_.pid > 0) {
      EXPECT_EQ(Finish(host_, kReplyMs), 0) << "the host did not end cleanly at end of input";
    }
    driver::StopHost(host_);
    if (host_.peakRssKb >= 0) {
      std::printf("peak RSS of the host: %ld KiB\n", host_.peakRssKb);
      EXPECT_LT(host_.peakRssKb, rssLimitKb_ * TESSERA_RSS_SCALE + TESSERA_RSS_SHADOW_KB)
          << "peak resident memory";
    }
  }

  // Sends one frame and expects no reply to it: the probe that follows is answered first.
  void ExpectDropped(const std::string& frame, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(driver::SendRaw(host_, frame + Frame(kProbe))) << "the host stopped reading";
    const auto reply = ReadReply(host_, kReplyMs);
    ASSERT_TRUE(reply.has_value()) << "the host stopped answering";
    EXPECT_EQ(Id(*reply), "probe") << "a dropped request was answered: " << reply->substr(0, 200);
  }

  // Sends one request and returns its reply; the probe after it must be answered too.
  std::string ExpectAnswered(const std::string& body, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_TRUE(driver::SendRaw(host_, Frame(body) + Frame(kProbe))) << "the host stopped reading";
    const auto reply = ReadReply(host_, kReplyMs);
    const auto probe = ReadReply(host_, kReplyMs);
    EXPECT_TRUE(reply.has_value()) << "no reply";
    EXPECT_TRUE(probe.has_value() && Id(*probe) == "probe") << "the host stopped serving";
    return reply.value_or("");
  }

  driver::HostProcess host_;
  long rssLimitKb_ = 64 * 1024;
};

// ---- Wrong JSON types ----------------------------------------------------------------------

struct WrongValue {
  const char* json;
  const char* name;
};

// Values that are never a Number argument (booleans are), and never a Text argument.
const std::vector<WrongValue> kNotNumbers = {
    {R"("5")", "string"}, {"null", "null"}, {"[1]", "array"}, {R"({"a":1})", "object"}};
const std::vector<WrongValue> kNotTexts = {{"5", "number"},  {"true", "boolean"},
                                           {"null", "null"}, {R"(["1"])", "array"},
                                           {"{}", "object"}, {"-1.5", "float"}};

std::string RequestWith(const CommandKeys& command, const Key& bad, const char* value) {
  std::string body = "{";
  bool first = true;
  auto add = [&](const std::string& key, const std::string& json) {
    if (!first) body += ",";
    first = false;
    body += "\"" + key + "\":" + json;
  };
  add("i", bad.name == std::string("i") ? value : "\"bad\"");
  add("c", bad.name == std::string("c") ? value : std::to_string(command.code));
  for (const Key& key : command.keys) {
    if (key.name == std::string(bad.name)) {
      add(key.name, value);
    } else {
      add(key.name, key.kind == KeyKind::kNumber ? "0" : "\"1\"");
    }
  }
  if (bad.name == std::string("r") || bad.name == std::string("e")) add(bad.name, value);
  return body + "}";
}

TEST_F(HostileClient, EveryWrongTypeAtEveryKeyOfEveryCommandIsDropped) {
  int cases = 0;
  for (const CommandKeys& command : AllCommands()) {
    std::vector<Key> keys = EnvelopeKeys();
    keys.insert(keys.end(), command.keys.begin(), command.keys.end());
    for (const Key& key : keys) {
      for (const WrongValue& wrong : key.kind == KeyKind::kNumber ? kNotNumbers : kNotTexts) {
        const std::string body = RequestWith(command, key, wrong.json);
        ExpectDropped(Frame(body), std::to_string(command.code) + " key " + key.name + " as " +
                                       wrong.name + ": " + body);
        ++cases;
      }
    }
  }
  // Also the two required keys, each missing.
  ExpectDropped(Frame(R"({"c":103})"), "no id");
  ExpectDropped(Frame(R"({"i":"1"})"), "no command code");
  std::printf("wrong-type cases: %d\n", cases + 2);
  EXPECT_GT(cases, 600);
}

// The table of keys is correct: with every key of the right type, each command is answered with
// its own members.
TEST_F(HostileClient, EveryCommandIsAnsweredWithRightTypesAtEveryKey) {
  for (const CommandKeys& command : AllCommands()) {
    const std::string reply = ExpectAnswered(RequestWith(command, Key{"", KeyKind::kNumber}, ""),
                                             std::to_string(command.code));
    const auto j = Parse(reply);
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    std::vector<std::string> expected = {"i", command.callName, "resp"};
    expected.insert(expected.end(), command.members.begin(), command.members.end());
    EXPECT_EQ(keys, expected) << command.code;
  }
}

// ---- Lengths and counts outside the buffers --------------------------------------------------

struct LengthCase {
  const char* what;
  std::string body;
  const char* member;  // a member to check, or null
  const char* value;
};

TEST_F(HostileClient, LengthsAndCountsOutsideEveryBufferAreAnswered) {
  const std::string card = R"("p":8,"x":1,"y":0,"z":0,"s":0,"l":0,"b":0,"h":0,"j":0)";
  const std::vector<LengthCase> cases = {
      {"receive length all ones", "{\"i\":\"1\",\"c\":169," + card + ",\"f\":4294967295,\"t\":0}",
       "pbRecvBuffer", "NULL"},
      {"receive length above 16 MiB", "{\"i\":\"1\",\"c\":169," + card + ",\"f\":16777217}",
       "pbRecvBuffer", "NULL"},
      {"send length above 16 MiB",
       "{\"i\":\"1\",\"c\":169," + card + ",\"g\":\"1,2\",\"q\":16777217}", nullptr, nullptr},
      {"negative transmit lengths",
       "{\"i\":\"1\",\"c\":169," + card +
           ",\"q\":-1,\"n\":-1,\"d\":-1,\"f\":-1,\"w\":\"1\",\"m\":\"2\"}",
       "cbPciLength", "4294967295"},
      {"send PCI length INT32_MAX",
       "{\"i\":\"1\",\"c\":169," + card + ",\"n\":2147483647,\"w\":\"2\"}", nullptr, nullptr},
      {"receive PCI shorter than its header",
       "{\"i\":\"1\",\"c\":169," + card + ",\"m\":\"2,0,0\",\"d\":3,\"n\":0,\"q\":0,\"f\":0}",
       "cbPciLength", "3"},
      {"control output all ones", "{\"i\":\"1\",\"c\":111," + card + ",\"m\":4294967295}",
       "pvOutBuffer", "NULL"},
      {"control output exactly 16 MiB", "{\"i\":\"1\",\"c\":111," + card + ",\"m\":16777216}",
       "cbOutBufferSize", "0"},
      {"control input negative",
       "{\"i\":\"1\",\"c\":111," + card + ",\"q\":-5,\"g\":\"1\",\"m\":0}", nullptr, nullptr},
      {"status lengths huge",
       "{\"i\":\"1\",\"c\":167," + card + ",\"w\":16777217,\"g\":4294967295}", "mszReaderNames",
       "NULL"},
      {"status ATR capacity above the buffer",
       "{\"i\":\"1\",\"c\":167," + card + ",\"w\":0,\"g\":1000}", "pbAtr", "NULL"},
      {"groups filter INT32_MAX", R"({"i":"1","c":149,"p":0,"m":"65,0,0","k":2147483647})",
       "mszReaders", "NULL"},
      {"groups filter negative", R"({"i":"1","c":149,"p":0,"m":"65,0,0","k":-1})", "cchReaders",
       "0"},
      {"cReaders all ones", R"({"i":"1","c":133,"p":0,"m":0,"w":4294967295})", "cReaders",
       "4294967295"},
      {"cReaders times 200 above INT32_MAX", R"({"i":"1","c":133,"p":0,"m":0,"w":10737419})",
       "rgReaderStates", "NULL"},
      {"cReaders above 16 MiB of records", R"({"i":"1","c":133,"p":0,"m":0,"w":83887})",
       "rgReaderStates", "NULL"},
      {"cReaders negative", R"({"i":"1","c":133,"p":0,"m":0,"w":-1})", "cReaders", "4294967295"},
      {"huge timeout", R"({"i":"1","c":133,"p":0,"m":-1,"w":0})", "rgReaderStates", "NULL"},
      {"attribute autoallocated", "{\"i\":\"1\",\"c\":122," + card + ",\"q\":0,\"m\":-1}", "pbAttr",
       "NULL"},
      {"attribute length query with huge length",
       "{\"i\":\"1\",\"c\":122," + card + ",\"q\":1,\"m\":4000000000}", "cbAttrLen", "0"},
  };
  for (const LengthCase& c : cases) {
    const std::string reply = ExpectAnswered(c.body, c.what);
    if (c.member != nullptr && !reply.empty()) {
      EXPECT_EQ(Parse(reply).value(c.member, "<absent>"), c.value) << c.what;
    }
  }
}

TEST_F(HostileClient, HandleCountsOutsideZeroToEightStillCallAndReply) {
  const char* counts[] = {"-1", "9", "2147483647", "-2147483648", "4294967295", "1e30", "-0.5"};
  for (const CommandKeys& command : AllCommands()) {
    if (command.keys.empty() || command.keys.size() < 9) continue;  // no Handle bytes
    for (const char* count : counts) {
      const std::string body = "{\"i\":\"h\",\"c\":" + std::to_string(command.code) +
                               ",\"p\":" + count + ",\"x\":255,\"y\":255}";
      const std::string reply = ExpectAnswered(body, body);
      if (!reply.empty()) {
        EXPECT_TRUE(Parse(reply).contains(command.callName)) << body;
      }
    }
  }
}

TEST_F(HostileClient, ReaderNameWithoutTerminatorComesBackWhole) {
  std::string record;
  for (int i = 0; i < 200; ++i) record += (i ? ",65" : "65");
  const std::string reply =
      ExpectAnswered(R"({"i":"1","c":133,"p":0,"m":0,"w":1,"k":")" + record + "\"}", "no NUL");
  const std::string states = Parse(reply).value("rgReaderStates", "");
  std::string name;
  for (int i = 0; i < 128; ++i) name += (i ? ",65" : "65");
  EXPECT_EQ(states.substr(0, name.size() + 1), name + ",") << "all 128 bytes of the name";
  EXPECT_EQ(std::count(states.begin(), states.end(), ','), 199) << "one record of 200 bytes";
}

// The largest record array the host makes (83886 records, just under 16 MiB) is answered in
// full; memory stays within a small multiple of the reply.
TEST_F(HostileClient, LargestRecordArrayIsAnsweredWithinBoundedMemory) {
  rssLimitKb_ = 256 * 1024;
  const std::string reply =
      ExpectAnswered(R"({"i":"1","c":133,"p":0,"m":0,"w":83886})", "83886 records");
  const std::string states = Parse(reply).value("rgReaderStates", "");
  EXPECT_EQ(std::count(states.begin(), states.end(), ','), 83886 * 200 - 1);
}

// Buffers of any size are made as asked, and cost memory only where they are written: with
// receive, control and attribute buffers of 20,000,000 bytes and of 4 GiB the host answers every
// request and stays small.
TEST_F(HostileClient, HugeBuffersAreMadeAsAskedWithinSmallMemory) {
  rssLimitKb_ = 16 * 1024;
  const std::string card = R"("p":8,"x":1,"y":0,"z":0,"s":0,"l":0,"b":0,"h":0,"j":0)";
  for (const char* size : {"20000000", "4294967294", "4294967295"}) {
    for (const std::string& body :
         {"{\"i\":\"1\",\"c\":169," + card + ",\"g\":\"0,164\",\"q\":2,\"f\":" + size + "}",
          "{\"i\":\"1\",\"c\":111," + card + ",\"m\":" + size + "}",
          "{\"i\":\"1\",\"c\":122," + card + ",\"q\":0,\"m\":" + size + "}",
          "{\"i\":\"1\",\"c\":167," + card + ",\"w\":" + size + ",\"g\":36}"}) {
      EXPECT_FALSE(ExpectAnswered(body, body).empty());
    }
  }
  const long peak = PeakRssKb(host_.pid);
  std::printf("peak RSS with 20 MB and 4 GiB buffers: %ld KiB\n", peak);
  EXPECT_GT(peak, 0);
}

// ---- Malformed and oversized JSON -------------------------------------------------------------

TEST_F(HostileClient, DeepNestingIsDropped) {
  const size_t depth = 100000;
  ExpectDropped(Frame(std::string(depth, '[') + std::string(depth, ']')), "nested arrays");
  std::string objects;
  for (size_t i = 0; i < depth; ++i) objects += "{\"a\":";
  objects += "1" + std::string(depth, '}');
  ExpectDropped(Frame(objects), "nested objects");
  ExpectDropped(
      Frame(R"({"i":"1","c":107,"x":)" + std::string(depth, '[') + std::string(depth, ']') + "}"),
      "nested arrays at a number key");
  ExpectDropped(Frame(std::string(depth, '[')), "unterminated nesting");
}

TEST_F(HostileClient, FiftyMegabyteStringsAreServedWithinBoundedMemory) {
  rssLimitKb_ = 600 * 1024;
  const std::string big(50u * 1024 * 1024, 'a');
  const std::string reply = ExpectAnswered(R"({"i":"1","c":103,"e":")" + big + "\"}", "echo");
  const std::string head = R"({"i":"1","SCardAccessStartedEvent":"0","resp":""})";
  EXPECT_EQ(reply.size(), head.size() + big.size()) << "the whole echo comes back";
  ExpectAnswered("{\"i\":\"1\",\"c\":169,\"p\":0,\"g\":\"" + big + "\",\"q\":2,\"f\":0}",
                 "send data");
  ExpectDropped(Frame(R"({"i":"1","c":103,"e":")" + big), "unterminated string");
}

TEST_F(HostileClient, InvalidUtf8AndBadEscapesAreDropped) {
  const std::vector<std::string> ids = {"\xff",    "\xc0\xaf", "\xed\xa0\x80", "\xe2\x82",
                                        "\\ud800", "\\udc00x", "\\u12",        "\x01"};
  for (const std::string& id : ids) {
    ExpectDropped(Frame("{\"i\":\"" + id + "\",\"c\":103}"), "id " + id);
  }
  for (const char* body :
       {"", " ", "1", "\"s\"", "null", "[]", "{", "{}{}", "{\"i\":\"1\",\"c\":103} x"}) {
    ExpectDropped(Frame(body), std::string("body ") + body);
  }
}

// ---- Lying prefixes -----------------------------------------------------------------------------

TEST_F(HostileClient, APrefixPromisingGigabytesCostsNothingUntilTheyCome) {
  ASSERT_TRUE(driver::SendRaw(host_, std::string("\x00\x00\x00\x40", 4) + std::string(100, '{')));
  EXPECT_TRUE(driver::QuietFor(host_, 200));
  EXPECT_TRUE(driver::Running(host_));
  EXPECT_EQ(Finish(host_, kReplyMs), 0);
  rssLimitKb_ = 32 * 1024;
}

TEST_F(HostileClient, EndOfInputInsideAPrefixOrBodyEndsCleanly) {
  ASSERT_TRUE(driver::SendRaw(host_, Frame(kProbe) + std::string("\x11\x00", 2)));
  EXPECT_EQ(Id(ReadReply(host_, kReplyMs).value_or("")), "probe");
  EXPECT_EQ(Finish(host_, kReplyMs), 0);
}

TEST_F(HostileClient, AllOnesPrefixEndsTheHostAndNothingAfterItIsRead) {
  ASSERT_TRUE(driver::SendRaw(host_, std::string(4, '\xff') + Frame(kProbe)));
  EXPECT_EQ(driver::WaitExit(host_, kReplyMs).value_or(-1), 0);
}

}  // namespace
}  // namespace hostile
