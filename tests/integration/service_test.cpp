// The host beside a running pcscd: the context commands, the envelope's silent cases, and the
// reader and group lists, all checked byte for byte.
#include <gtest/gtest.h>

#include "pcsc_direct.h"
#include "rig_support.h"

namespace {

using namespace rig;

TEST(Service, StartedEventIsReportedOnceTheServiceAnswers) {
  Host host;
  Start(host);
  for (const char* id : {"7", "8"}) {
    EXPECT_EQ(Ask(host, Json{{"i", id}, {"c", 103}}),
              Head(id, "SCardAccessStartedEvent", kSuccess));
  }
}

// Raw bytes in, raw bytes out: the frame prefixes and bodies of a session exactly as a browser
// sends and receives them.
TEST(Service, FramesOfASessionAreByteExact) {
  Host host;
  Start(host);
  ASSERT_TRUE(
      driver::SendRaw(host.process, std::string("\x11\x00\x00\x00", 4) + R"({"i":"1","c":103})"));
  EXPECT_EQ(driver::ReadReply(host.process, Expect().replyTimeoutMs),
            R"({"i":"1","SCardAccessStartedEvent":"0","resp":""})");

  ASSERT_TRUE(driver::SendFrame(host.process, R"({"i":"2","c":114,"p":2})"));
  const std::optional<std::string> established =
      driver::ReadReply(host.process, Expect().replyTimeoutMs);
  ASSERT_TRUE(established.has_value());
  const std::string head = R"({"i":"2","SCardEstablishContext":"0","resp":"","cbContext":"8",)";
  EXPECT_EQ(established->substr(0, head.size()), head);

  const std::string release = R"({"i":"a1","r":5,"e":"tab 1","c":160,"p":0})";
  ASSERT_EQ(release.size(), 42u);
  ASSERT_TRUE(driver::SendRaw(host.process, std::string("\x2a\x00\x00\x00", 4) + release));
  const std::optional<std::string> released =
      driver::ReadReply(host.process, Expect().replyTimeoutMs);
  EXPECT_EQ(released, R"({"i":"a1","SCardReleaseContext":"0","resp":"tab 1"})");
  ASSERT_TRUE(released.has_value());
  EXPECT_EQ(released->size(), 51u) << "framed by the length bytes 0x33, 0, 0, 0";
  EXPECT_TRUE(host.process.pending.empty()) << "nothing may follow a reply frame";
}

struct ReleaseCase {
  int scope;
  bool releaseByBytes;  // "p" 8 with the W keys, or "p" 0 for the context in the slot
};

void PrintTo(const ReleaseCase& c, std::ostream* os) {
  *os << "scope " << c.scope << (c.releaseByBytes ? ", released by bytes" : ", released from slot");
}

class EstablishRelease : public testing::TestWithParam<ReleaseCase> {};

TEST_P(EstablishRelease, ContextIsUsableThenReleased) {
  Host host;
  Start(host);
  const Members established = Ask(host, Json{{"i", "a"}, {"c", 114}, {"p", GetParam().scope}});
  EXPECT_EQ(Keys(established),
            (std::vector<std::string>{"i", "SCardEstablishContext", "resp", "cbContext",
                                      "pbContext0", "pbContext1", "pbContext2", "pbContext3",
                                      "pbContext4", "pbContext5", "pbContext6", "pbContext7"}));
  EXPECT_EQ(Value(established, "SCardEstablishContext"), "0");
  EXPECT_EQ(Value(established, "cbContext"), "8");
  const Bytes context = HandleBytes(established);
  EXPECT_NE(context, Bytes(8, 0)) << "the service gave a zero context";

  // The context works: the service lists its readers on it.
  const Members listed = Ask(host, With(Json{{"c", 149}}, KeysS(context)));
  EXPECT_EQ(Value(listed, "SCardListReadersA"), "0");

  const Json release = GetParam().releaseByBytes
                           ? With(Json{{"i", "r"}, {"c", 160}}, KeysW(context))
                           : Json{{"i", "r"}, {"c", 160}, {"p", 0}};
  EXPECT_EQ(Ask(host, release), Head("r", "SCardReleaseContext", kSuccess));
  // Released for real: the service no longer knows it.
  EXPECT_EQ(Ask(host, Json{{"i", "again"}, {"c", 160}, {"p", 0}}),
            Head("again", "SCardReleaseContext", kInvalidHandle));
}

INSTANTIATE_TEST_SUITE_P(Scopes, EstablishRelease,
                         testing::Values(ReleaseCase{0, false}, ReleaseCase{0, true},
                                         ReleaseCase{2, false}, ReleaseCase{2, true}),
                         [](const testing::TestParamInfo<ReleaseCase>& info) {
                           return "Scope" + std::to_string(info.param.scope) +
                                  (info.param.releaseByBytes ? "ReleasedByBytes"
                                                             : "ReleasedFromSlot");
                         });

TEST(Service, CancelWithNothingToCancelSucceeds) {
  Host host;
  Start(host);
  const Bytes context = HandleBytes(Ask(host, Json{{"c", 114}, {"p", 2}}));
  EXPECT_EQ(Ask(host, With(Json{{"i", "c"}, {"c", 108}}, KeysS(context))),
            Head("c", "SCardCancel", kSuccess));
  // A released context cannot be cancelled: the call really reached the service.
  Ask(host, Json{{"c", 160}, {"p", 0}});
  EXPECT_EQ(Ask(host, Json{{"i", "d"}, {"c", 108}, {"p", 0}}),
            Head("d", "SCardCancel", kInvalidHandle));
}

TEST(Service, UnknownCommandCodesGetNoReplyAndTheNextRequestIsServed) {
  Host host;
  Start(host);
  for (const int code : {104, 110, 115, 150, 0, -1, 170, 1000}) {
    Send(host, Json{{"i", "u" + std::to_string(code)}, {"c", code}});
    EXPECT_TRUE(driver::QuietFor(host.process, 200)) << "a reply to code " << code;
  }
  EXPECT_EQ(Ask(host, Json{{"i", "after"}, {"c", 103}}),
            Head("after", "SCardAccessStartedEvent", kSuccess));
}

TEST(Service, MalformedFramesGetNoReplyAndTheNextRequestIsServed) {
  Host host;
  Start(host);
  const std::vector<std::string> bad = {"{not json",
                                        "",
                                        "[1,2]",
                                        R"({"i":7,"c":103})",
                                        R"({"c":103})",
                                        R"({"i":"x"})",
                                        R"({"i":"x","c":"103"})",
                                        R"({"i":"x","c":103} trailing)"};
  for (const std::string& body : bad) {
    ASSERT_TRUE(driver::SendFrame(host.process, body));
    EXPECT_TRUE(driver::QuietFor(host.process, 200)) << "a reply to " << body;
  }
  EXPECT_EQ(Ask(host, Json{{"i", "good"}, {"e", "tab 1"}, {"c", 103}}),
            Head("good", "SCardAccessStartedEvent", kSuccess, "tab 1"));
}

TEST(Service, EndOfInputEndsTheHostWithStatusZero) {
  Host host;
  Start(host);
  EXPECT_EQ(Value(Ask(host, Json{{"c", 114}, {"p", 2}}), "SCardEstablishContext"), "0");
  driver::CloseInput(host.process);
  EXPECT_EQ(driver::WaitExit(host.process, 5000), std::optional<int>(0));
}

TEST(Service, ReaderListIsTheServicesMultiStringByteForByte) {
  Host host;
  Start(host);
  const Bytes context = HandleBytes(Ask(host, Json{{"c", 114}, {"p", 2}}));
  const Bytes readers = MultiString({vcard::RigReader(0), vcard::RigReader(1)});
  ASSERT_EQ(direct::ListReaders(), readers) << "the rig's readers are not as documented";
  EXPECT_EQ(
      Ask(host, With(Json{{"i", "r"}, {"c", 149}}, KeysS(context))),
      Concat(Head("r", "SCardListReadersA", kSuccess),
             {{"cchReaders", std::to_string(readers.size())}, {"mszReaders", ByteList(readers)}}));
}

TEST(Service, ReaderListFilteredByGroups) {
  Host host;
  Start(host);
  const Bytes context = HandleBytes(Ask(host, Json{{"c", 114}, {"p", 2}}));
  const Bytes readers = MultiString({vcard::RigReader(0), vcard::RigReader(1)});
  // Every reader is in the default group. (pcsc-lite does not filter by group at all, so a group
  // nobody is in would tell nothing about the host here.)
  const Bytes known = MultiString({"SCard$DefaultReaders"});
  const Members inGroup = Ask(
      host, With(Json{{"c", 149}, {"m", ByteList(known)}, {"k", known.size()}}, KeysS(context)));
  EXPECT_EQ(Value(inGroup, "SCardListReadersA"), "0");
  EXPECT_EQ(Value(inGroup, "mszReaders"), ByteList(readers));
}

TEST(Service, GroupListIsTheServicesMultiStringByteForByte) {
  Host host;
  Start(host);
  const Bytes context = HandleBytes(Ask(host, Json{{"c", 114}, {"p", 2}}));
  const Bytes groups = direct::ListReaderGroups();
  ASSERT_FALSE(groups.empty());
  EXPECT_EQ(
      Ask(host, With(Json{{"i", "g"}, {"c", 147}}, KeysS(context))),
      Concat(Head("g", "SCardListReaderGroupsA", kSuccess),
             {{"mszGroups", ByteList(groups)}, {"cchGroups", std::to_string(groups.size())}}));
}

}  // namespace
