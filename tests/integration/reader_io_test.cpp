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
}

struct AttribCase {
  const char* name;
  Json keys;          // "q" and "m"
  bool serviceSized;  // the length is the service's (a query or its own allocation), not ours
  uint32_t offered;   // otherwise the length offered, which a refusal leaves as it was
};

// The length pcsc-lite reports when it sizes a refused attribute itself: MAX_BUFFER_SIZE.
uint32_t ServiceSizedLength() {
  return EnvOr("TESSERA_EXPECT_ATTR_REFUSED_LENGTH", 264);
}

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
    const uint32_t length = GetParam().serviceSized ? ServiceSizedLength() : GetParam().offered;
    EXPECT_EQ(reply, Concat(Head("a", "SCardGetAttrib", Expect().unsupportedFeature),
                            {{"pbAttr", "NULL"}, {"cbAttrLen", std::to_string(length)}}))
        << "attribute " << attribute;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Attributes,
    testing::Values(AttribCase{"LengthQueryNoBuffer", {{"q", 1}, {"m", 64}}, true, 0},
                    AttribCase{"LengthQueryZero", {{"q", 0}, {"m", 0}}, true, 0},
                    AttribCase{"Buffer", {{"q", 0}, {"m", 64}}, false, 64},
                    AttribCase{"Autoallocate", {{"q", 0}, {"m", -1}}, true, 0}),
    [](const testing::TestParamInfo<AttribCase>& info) { return info.param.name; });

}  // namespace
}  // namespace rig
