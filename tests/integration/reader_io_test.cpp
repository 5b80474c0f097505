// Reader control codes and reader attributes as pcscd and vpcd answer them: vpcd supports
// neither, so every form must report the service's refusal in a complete reply.
#include <gtest/gtest.h>

#include "card_fixture.h"

namespace rig {
namespace {

using ReaderIo = CardInReader;

TEST_F(ReaderIo, ControlIsRefusedByTheReader) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  const std::string refused = StatusText(Expect().unsupportedFeature);
  // No output room: nothing can come back.
  EXPECT_EQ(Ask(host, With(Json{{"i", "c0"},
                                {"c", 111},
                                {"w", Expect().controlCode},
                                {"g", "NULL"},
                                {"q", 0},
                                {"m", 0}},
                           KeysS(connected.card))),
            Concat(Head("c0", "SCardControl", Expect().unsupportedFeature),
                   {{"pvOutBuffer", "NULL"}, {"cbOutBufferSize", "0"}}));
  // With output room and input bytes: the count is the one the service reports on failure
  // (pcsc-lite: 0).
  const Members reply =
      Ask(host, Json{{"i", "c1"}, {"c", 111}, {"p", 0}, {"g", "1,2,3"}, {"q", 3}, {"m", 16}});
  const uint32_t returned = EnvOr("TESSERA_EXPECT_CONTROL_FAILED_RETURNED", 0);
  EXPECT_EQ(reply, Concat(Head("c1", "SCardControl", Expect().unsupportedFeature),
                          {{"pvOutBuffer", returned == 0 ? "NULL" : ByteList(Bytes(returned, 0))},
                           {"cbOutBufferSize", std::to_string(returned)}}));
  EXPECT_EQ(Value(reply, "SCardControl"), refused);
}

struct AttribCase {
  const char* name;
  Json keys;  // "q" and "m"
};

void PrintTo(const AttribCase& c, std::ostream* os) {
  *os << c.name;
}

class Attributes : public CardInReader, public testing::WithParamInterface<AttribCase> {};

TEST_P(Attributes, EveryFormGetsTheRefusalInAWholeReply) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  for (const uint32_t attribute : {0x00010100u /* vendor name */, 0x00090303u /* ATR */}) {
    const Members reply =
        Ask(host, With(With(Json{{"i", "a"}, {"c", 122}, {"g", attribute}}, GetParam().keys),
                       KeysS(connected.card)));
    EXPECT_EQ(Keys(reply),
              (std::vector<std::string>{"i", "SCardGetAttrib", "resp", "pbAttr", "cbAttrLen"}));
    EXPECT_EQ(Value(reply, "SCardGetAttrib"), StatusText(Expect().unsupportedFeature))
        << "attribute " << attribute;
    EXPECT_EQ(Value(reply, "pbAttr"), "NULL");
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, Attributes,
                         testing::Values(AttribCase{"LengthQueryNoBuffer", {{"q", 1}, {"m", 64}}},
                                         AttribCase{"LengthQueryZero", {{"q", 0}, {"m", 0}}},
                                         AttribCase{"Buffer", {{"q", 0}, {"m", 64}}},
                                         AttribCase{"Autoallocate", {{"q", 0}, {"m", -1}}}),
                         [](const testing::TestParamInfo<AttribCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace rig
