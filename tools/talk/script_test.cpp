// The placeholders of tessera-talk scripts: what a line becomes after earlier replies.
#include "script.h"

#include <gtest/gtest.h>

namespace talk {
namespace {

Members EstablishReply() {
  return {{"i", "1"},          {"SCardEstablishContext", "0"},
          {"resp", ""},        {"cbContext", "8"},
          {"pbContext0", "1"}, {"pbContext1", "2"},
          {"pbContext2", "3"}, {"pbContext3", "4"},
          {"pbContext4", "5"}, {"pbContext5", "6"},
          {"pbContext6", "7"}, {"pbContext7", "8"}};
}

Members ConnectReply() {
  return {{"i", "2"},
          {"SCardConnectA", "0"},
          {"resp", ""},
          {"cbHandle", "8"},
          {"pbHandlet0", "11"},
          {"pbContext1", "12"},
          {"pbContext2", "0"},
          {"pbContext3", "0"},
          {"pbContext4", "0"},
          {"pbContext5", "0"},
          {"pbContext6", "0"},
          {"pbContext7", "99"},
          {"dwActiveProtocol", "2"}};
}

SessionState AfterConnect() {
  SessionState state;
  Learn(Json{{"c", 114}}, EstablishReply(), state);
  Learn(Json{{"c", 149}},
        {{"i", "3"},
         {"SCardListReadersA", "0"},
         {"resp", ""},
         {"cchReaders", "7"},
         {"mszReaders", "65,0,66,67,0,0"}},
        state);
  Learn(Json{{"c", 109}}, ConnectReply(), state);
  return state;
}

struct LineCase {
  const char* line;
  const char* request;  // the request sent, as JSON text
};

class Expansion : public testing::TestWithParam<LineCase> {};

TEST_P(Expansion, LineBecomesTheRequest) {
  SessionState state = AfterConnect();
  const Expanded expanded = ExpandLine(GetParam().line, state);
  EXPECT_EQ(expanded.error, "");
  EXPECT_EQ(expanded.request.dump(), GetParam().request);
}

INSTANTIATE_TEST_SUITE_P(
    Placeholders, Expansion,
    testing::Values(
        // Set S for most context commands, set W for 109 and 160.
        LineCase{R"({"i":"a","c":149,"$context":true})",
                 R"({"i":"a","c":149,"p":8,"x":1,"y":2,"z":3,"s":4,"l":5,"b":6,"h":7,"j":8})"},
        LineCase{R"({"i":"a","c":160,"$context":true})",
                 R"({"i":"a","c":160,"p":8,"x":1,"y":2,"z":3,"w":4,"m":5,"s":6,"t":7,"k":8})"},
        LineCase{R"({"i":"a","c":109,"$context":true,"g":"$reader1","q":2})",
                 R"({"i":"a","c":109,"p":8,"x":1,"y":2,"z":3,"w":4,"m":5,"s":6,"t":7,"k":8,)"
                 R"("g":"BC","q":2})"},
        LineCase{R"({"i":"a","c":112,"$card":true,"w":0})",
                 R"({"i":"a","c":112,"p":8,"x":11,"y":12,"z":0,"s":0,"l":0,"b":0,"h":0,"j":99,)"
                 R"("w":0})"},
        LineCase{R"({"i":"a","c":169,"$pci":true,"$apdu":"00A4 04 00"})",
                 R"({"i":"a","c":169,"w":"2,0,0,0,8,0,0,0","n":8,"m":"2,0,0,0,8,0,0,0","d":8,)"
                 R"("g":"0,164,4,0","q":4})"},
        // No "i": one is numbered.
        LineCase{R"({"c":103})", R"({"i":"1","c":103})"}),
    [](const testing::TestParamInfo<LineCase>& info) { return std::to_string(info.index); });

TEST(Expansion, WaitRecordsUseTheLastEventState) {
  SessionState state = AfterConnect();
  Expanded first = ExpandLine(R"({"c":133,"$wait":[{"reader":"$reader0","current":0}]})", state);
  ASSERT_EQ(first.error, "");
  Bytes records = ParseByteList(first.request["k"].get<std::string>());
  ASSERT_EQ(records.size(), 200u);
  EXPECT_EQ(records[0], 'A');
  EXPECT_EQ(records[1], 0);
  EXPECT_EQ(first.request["w"], 1);
  // The service answers with event state 0x00010122; "$last" sends it back as current.
  records[144] = 0x22;
  records[145] = 0x01;
  records[146] = 0x01;
  Learn(first.request,
        {{"i", "1"},
         {"SCardGetStatusChangeA", "0"},
         {"resp", ""},
         {"rgReaderStates", ByteList(records)},
         {"cReaders", "1"}},
        state);
  const Expanded second =
      ExpandLine(R"({"c":133,"$wait":[{"reader":"$reader0","current":"$last"}]})", state);
  const Bytes sent = ParseByteList(second.request["k"].get<std::string>());
  ASSERT_EQ(sent.size(), 200u);
  EXPECT_EQ(Bytes(sent.begin() + 136, sent.begin() + 140), (Bytes{0x22, 0x01, 0x01, 0x00}));
}

// A key that a placeholder also fills is sent as the later of the two gives it, with a warning;
// keys that do not clash (set W has no "b", so "b" is 109's protocols) pass without one.
struct ClashCase {
  const char* line;
  const char* key;      // the clashing key, or null for no warning
  const char* sources;  // what the warning names besides the line's own key
  const char* sent;     // the key's value in the request sent, as JSON
};

class Clashes : public testing::TestWithParam<ClashCase> {};

TEST_P(Clashes, AreWarnedAboutAndStillSent) {
  SessionState state = AfterConnect();
  const ClashCase& c = GetParam();
  const Expanded expanded = ExpandLine(c.line, state);
  EXPECT_EQ(expanded.error, "");
  if (c.key == nullptr) {
    EXPECT_EQ(expanded.warnings, std::vector<std::string>{});
    return;
  }
  ASSERT_EQ(expanded.warnings.size(), 1u);
  const std::string& warning = expanded.warnings[0];
  EXPECT_EQ(warning.rfind(std::string("\"") + c.key + "\" is both ", 0), 0u) << warning;
  EXPECT_NE(warning.find(c.sources), std::string::npos) << warning;
  EXPECT_NE(warning.find(std::string("\"") + c.key + "\":" + c.sent), std::string::npos) << warning;
  EXPECT_EQ(expanded.request[c.key].dump(), c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Placeholders, Clashes,
    testing::Values(
        // "b" meant as a protocol in a reconnect is byte 5 of the card handle.
        ClashCase{R"({"c":159,"$card":true,"b":3})", "b", "card handle byte 5 (from $card)", "3"},
        ClashCase{R"({"c":159,"b":3,"$card":true})", "b", "card handle byte 5 (from $card)", "0"},
        ClashCase{R"({"c":160,"$context":true,"m":1})", "m", "context byte 4 (from $context)", "1"},
        ClashCase{R"({"c":149,"p":2,"$context":true})", "p", "context byte count (from $context)",
                  "8"},
        ClashCase{R"({"c":169,"$apdu":"00A4","q":9})", "q", "the APDU length of $apdu", "9"},
        ClashCase{R"({"c":109,"$context":true,"b":3,"q":2})", nullptr, "", ""},
        ClashCase{R"({"c":159,"$card":true,"w":2,"m":3,"t":1})", nullptr, "", ""},
        ClashCase{R"({"c":169,"$card":true,"$pci":true,"$apdu":"00","f":258})", nullptr, "", ""}),
    [](const testing::TestParamInfo<ClashCase>& info) { return std::to_string(info.index); });

TEST(Expansion, MistakesAreReportedNotSent) {
  SessionState empty;
  EXPECT_NE(ExpandLine(R"({"c":149,"$context":true})", empty).error, "");  // no context yet
  EXPECT_NE(ExpandLine(R"({"c":109,"g":"$reader0"})", empty).error, "");   // no reader list
  EXPECT_NE(ExpandLine(R"({"c":169,"$apdu":"0G"})", empty).error, "");
  EXPECT_NE(ExpandLine(R"({"c":169,"$nonsense":1})", empty).error, "");
  EXPECT_NE(ExpandLine("not json", empty).error, "");
}

// The Byte list and hex readers that talk shares with the test rig.
TEST(ByteText, ReadsRepliesAndHexAsTheRigAndTalkWrite) {
  const struct {
    const char* list;
    Bytes bytes;
  } lists[] = {
      {"NULL", {}}, {"", {}}, {"0,164,4,0", {0, 164, 4, 0}}, {"1,256,-1, 7", {1, 0, 255, 7}}};
  for (const auto& c : lists) EXPECT_EQ(ParseByteList(c.list), c.bytes) << c.list;
  EXPECT_EQ(ByteList({0, 164, 255}), "0,164,255");
  EXPECT_EQ(ParseByteList(ByteList({9, 0, 200})), (Bytes{9, 0, 200}));

  const struct {
    const char* hex;
    bool ok;
    Bytes bytes;
  } hexes[] = {{"3b:8A-80 01\t7f", true, {0x3B, 0x8A, 0x80, 0x01, 0x7F}},
               {"", true, {}},
               {"0", false, {}},
               {"0G", false, {}}};
  for (const auto& c : hexes) {
    Bytes bytes;
    EXPECT_EQ(FromHex(c.hex, bytes), c.ok) << c.hex;
    if (c.ok) {
      EXPECT_EQ(bytes, c.bytes) << c.hex;
    }
  }
  EXPECT_EQ(bytetext::ToHex({0x3B, 0x0A}), "3B0A");
}

TEST(Expansion, FailedRepliesTeachNothing) {
  SessionState state;
  Members failed = EstablishReply();
  failed[1].second = "-2146435043";
  Learn(Json{{"c", 114}}, failed, state);
  EXPECT_TRUE(state.context.empty());
}

}  // namespace
}  // namespace talk
