// The typical exchange against pcscd and a virtual card: list, connect, transmit, reconnect,
// status and disconnect, each reply compared member by member.
#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "card_fixture.h"

namespace rig {
namespace {

Bytes Pci(uint32_t protocol) {
  return {static_cast<uint8_t>(protocol), 0, 0, 0, 8, 0, 0, 0};
}

Members TransmitReply(const std::string& id, uint32_t pciProtocol, const Bytes& response) {
  return Concat(Head(id, "SCardTransmit", kSuccess),
                {{"pioRecvPci", ByteList(Pci(pciProtocol))},
                 {"cbPciLength", "8"},
                 {"pbRecvBuffer", ByteList(response)},
                 {"cbRecvLength", std::to_string(response.size())}});
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Bytes kSelect = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00};
const Bytes kOk = {0x90, 0x00};

using Exchange = CardInReader;

TEST_F(Exchange, TypicalExchangeFromEstablishToRelease) {
  Host host;
  Start(host);
  const Members established = Ask(host, Json{{"i", "1"}, {"c", 114}, {"p", 2}});
  ASSERT_EQ(Value(established, "SCardEstablishContext"), "0");
  const Bytes context = HandleBytes(established);

  const Bytes readers = MultiString({vcard::RigReader(0), vcard::RigReader(1)});
  EXPECT_EQ(
      Ask(host, With(Json{{"i", "2"}, {"c", 149}}, KeysS(context))),
      Concat(Head("2", "SCardListReadersA", kSuccess),
             {{"cchReaders", std::to_string(readers.size())}, {"mszReaders", ByteList(readers)}}));

  const Members connected = Ask(host, With(Json{{"i", "3"},
                                                {"c", 109},
                                                {"g", reader_},
                                                {"q", kShareShared},
                                                {"b", kProtocolT0 | kProtocolT1}},
                                           KeysW(context)));
  EXPECT_EQ(Keys(connected), (std::vector<std::string>{
                                 "i", "SCardConnectA", "resp", "cbHandle", "pbHandlet0",
                                 "pbContext1", "pbContext2", "pbContext3", "pbContext4",
                                 "pbContext5", "pbContext6", "pbContext7", "dwActiveProtocol"}));
  ASSERT_EQ(Value(connected, "SCardConnectA"), "0");
  EXPECT_EQ(Value(connected, "cbHandle"), "8");
  EXPECT_EQ(Value(connected, "dwActiveProtocol"), std::to_string(truth_.protocol));
  const Bytes card = HandleBytes(connected);

  Json transmit = TransmitRequest(card, truth_.protocol, kSelect, 258);
  transmit["i"] = "4";
  EXPECT_EQ(Ask(host, transmit), TransmitReply("4", ReceivePciProtocol(), kOk));
  const std::vector<vcard::Exchange> seen = vcard::Exchanges(card_);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().command, kSelect) << "the card did not get the APDU as sent";

  EXPECT_EQ(Ask(host, With(Json{{"i", "5"}, {"c", 112}, {"w", kLeaveCard}}, KeysS(card))),
            Head("5", "SCardDisconnect", kSuccess));
  EXPECT_EQ(Ask(host, With(Json{{"i", "6"}, {"c", 160}}, KeysW(context))),
            Head("6", "SCardReleaseContext", kSuccess));
}

struct TransmitCase {
  const char* name;
  Bytes apdu;
  Bytes response;  // what the card answers
};

void PrintTo(const TransmitCase& c, std::ostream* os) {
  *os << c.name;
}

class Transmit : public CardInReader, public testing::WithParamInterface<TransmitCase> {};

TEST_P(Transmit, ReplyCarriesExactlyTheCardsAnswer) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  const uint32_t receive = static_cast<uint32_t>(GetParam().response.size()) + 16;
  Json request = TransmitRequest(connected.card, connected.protocol, GetParam().apdu, receive);
  request["i"] = "t";
  EXPECT_EQ(Ask(host, request), TransmitReply("t", ReceivePciProtocol(), GetParam().response));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Transmit,
    testing::Values(TransmitCase{"Select", kSelect, kOk},
                    TransmitCase{"ShortRead16",
                                 {0x00, 0xB0, 0x00, 0x00, 0x10},
                                 Join(vcard::PatternBytes(16), kOk)},
                    TransmitCase{"ShortRead256",
                                 {0x00, 0xB0, 0x00, 0x00, 0x00},
                                 Join(vcard::PatternBytes(256), kOk)},
                    TransmitCase{"ExtendedRead1024",
                                 {0x00, 0xB0, 0x00, 0x00, 0x00, 0x04, 0x00},
                                 Join(vcard::PatternBytes(1024), kOk)},
                    // 65533 data bytes and the status word: the most vpcd's 2-byte length carries.
                    TransmitCase{"ExtendedRead65535",
                                 {0x00, 0xB0, 0x00, 0x00, 0x00, 0xFF, 0xFD},
                                 Join(vcard::PatternBytes(65533), kOk)},
                    TransmitCase{"UnknownInstruction", {0x00, 0x10, 0x00, 0x00}, {0x6D, 0x00}}),
    [](const testing::TestParamInfo<TransmitCase>& info) { return info.param.name; });

TEST_F(Exchange, ScriptedAnswerComesBackAfterTheCardsDelay) {
  vcard::CardBehaviour behaviour;
  vcard::Rule rule;
  rule.command = {0x80, 0xCA, 0x9F, 0x7F, 0x00};
  rule.response = {0xDE, 0xAD, 0xBE, 0xEF, 0x61, 0x10};
  rule.delayMs = 400;
  behaviour.rules.push_back(rule);
  vcard::SetBehaviour(card_, behaviour);
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  Json request = TransmitRequest(connected.card, connected.protocol, rule.command, 300);
  request["i"] = "slow";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(host, request), TransmitReply("slow", ReceivePciProtocol(), rule.response));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

TEST_F(Exchange, TransmitToARemovedCardFailsWithAWholeReply) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  RemoveAndWait();
  Json request = TransmitRequest(connected.card, connected.protocol, kSelect, 258);
  request["i"] = "gone";
  const Members reply = Ask(host, request);
  EXPECT_EQ(Keys(reply), (std::vector<std::string>{"i", "SCardTransmit", "resp", "pioRecvPci",
                                                   "cbPciLength", "pbRecvBuffer", "cbRecvLength"}));
  EXPECT_EQ(Value(reply, "SCardTransmit"), StatusText(kRemovedCard));
  EXPECT_EQ(Value(reply, "pbRecvBuffer"), "NULL");
}

TEST_F(Exchange, TransmitWithoutReceivePciKeepsTheLengthAsSent) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  Json request = TransmitRequest(connected.card, connected.protocol, kSelect, 258);
  request["i"] = "n";
  request["m"] = "NULL";
  request["d"] = 24;
  EXPECT_EQ(Ask(host, request),
            Concat(Head("n", "SCardTransmit", kSuccess), {{"pioRecvPci", "NULL"},
                                                          {"cbPciLength", "24"},
                                                          {"pbRecvBuffer", "144,0"},
                                                          {"cbRecvLength", "2"}}));
  // A receive buffer too small for the answer is the service's error, not a cut answer.
  request = TransmitRequest(connected.card, connected.protocol, {0x00, 0xB0, 0x00, 0x00, 0x20}, 8);
  request["i"] = "small";
  const Members small = Ask(host, request);
  EXPECT_EQ(Keys(small), (std::vector<std::string>{"i", "SCardTransmit", "resp", "pioRecvPci",
                                                   "cbPciLength", "pbRecvBuffer", "cbRecvLength"}));
  EXPECT_NE(Value(small, "SCardTransmit"), "0");
}

struct ReconnectCase {
  const char* name;
  uint32_t initialization;
  std::vector<uint8_t> controls;  // what the card must see from the reader, in order
};

void PrintTo(const ReconnectCase& c, std::ostream* os) {
  *os << c.name;
}

class Reconnect : public CardInReader, public testing::WithParamInterface<ReconnectCase> {};

TEST_P(Reconnect, InitializationReachesTheCard) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  vcard::ClearExchanges(card_);
  const Members reply = Ask(host, With(Json{{"i", "r"},
                                            {"c", 159},
                                            {"w", kShareShared},
                                            {"m", kProtocolT0 | kProtocolT1},
                                            {"t", GetParam().initialization}},
                                       KeysS(connected.card)));
  EXPECT_EQ(reply, Concat(Head("r", "SCardReconnect", kSuccess),
                          {{"dwActiveProtocol", std::to_string(connected.protocol)}}));
  std::vector<uint8_t> controls;
  for (const vcard::Exchange& exchange : vcard::Exchanges(card_)) {
    if (exchange.control && exchange.code != vcard::kGetAtr) controls.push_back(exchange.code);
  }
  EXPECT_EQ(controls, GetParam().controls);
  // The connection still works afterwards.
  Json transmit = TransmitRequest(connected.card, connected.protocol, kSelect, 258);
  transmit["i"] = "after";
  EXPECT_EQ(Ask(host, transmit), TransmitReply("after", ReceivePciProtocol(), kOk));
}

INSTANTIATE_TEST_SUITE_P(
    Initializations, Reconnect,
    testing::Values(ReconnectCase{"Leave", kLeaveCard, {}},
                    ReconnectCase{"Reset", kResetCard, {vcard::kReset}},
                    ReconnectCase{"Unpower", kUnpowerCard, {vcard::kPowerOff, vcard::kPowerOn}}),
    [](const testing::TestParamInfo<ReconnectCase>& info) { return info.param.name; });

TEST_F(Exchange, SecondDisconnectOfTheSameHandleFails) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  EXPECT_EQ(
      Ask(host, With(Json{{"i", "d1"}, {"c", 112}, {"w", kLeaveCard}}, KeysS(connected.card))),
      Head("d1", "SCardDisconnect", kSuccess));
  EXPECT_EQ(Ask(host, Json{{"i", "d2"}, {"c", 112}, {"p", 0}}),
            Head("d2", "SCardDisconnect", kInvalidHandle));
}

TEST_F(Exchange, StatusOfTheConnectedCard) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  // pcsc-lite ends the one name with a single NUL, WinSCard with two: the service's own answer
  // is the reference, and TESSERA_EXPECT_STATUS_NAME_NULS overrides it.
  Bytes names = truth_.names;
  if (const uint32_t nuls = EnvOr("TESSERA_EXPECT_STATUS_NAME_NULS", 0)) {
    names = TextBytes(reader_);
    names.resize(reader_.size() + nuls, 0);
  }
  ASSERT_EQ(Bytes(names.begin(), names.begin() + static_cast<long>(reader_.size())),
            TextBytes(reader_));
  const std::string state = std::to_string(EnvOr("TESSERA_EXPECT_STATUS_STATE", truth_.state));
  // Names allocated by the service, and a 36-byte ATR buffer for the 15-byte ATR.
  EXPECT_EQ(
      Ask(host, With(Json{{"i", "s"}, {"c", 167}, {"w", -1}, {"g", 36}}, KeysS(connected.card))),
      Concat(Head("s", "SCardStatusA", kSuccess),
             {{"mszReaderNames", ByteList(names)},
              {"cchReaderLen", std::to_string(names.size())},
              {"dwState", state},
              {"dwProtocol", std::to_string(connected.protocol)},
              {"pbAtr", ByteList(vcard::kDefaultAtr)},
              {"cbAtrLen", std::to_string(vcard::kDefaultAtr.size())}}));
  // Lengths only.
  EXPECT_EQ(Ask(host, Json{{"i", "l"}, {"c", 167}, {"p", 0}, {"w", 0}, {"g", 0}}),
            Concat(Head("l", "SCardStatusA", kSuccess),
                   {{"mszReaderNames", "NULL"},
                    {"cchReaderLen", std::to_string(names.size())},
                    {"dwState", state},
                    {"dwProtocol", std::to_string(connected.protocol)},
                    {"pbAtr", "NULL"},
                    {"cbAtrLen", std::to_string(vcard::kDefaultAtr.size())}}));
}

TEST_F(Exchange, StatusOfARemovedCardReportsTheRemovalAndNoAtr) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  const Json status =
      With(Json{{"i", "s"}, {"c", 167}, {"w", 0}, {"g", 32}}, KeysS(connected.card));
  EXPECT_EQ(Value(Ask(host, status), "pbAtr"), ByteList(vcard::kDefaultAtr));
  RemoveAndWait();
  const Members reply = Ask(host, status);
  EXPECT_EQ(Value(reply, "SCardStatusA"), StatusText(kRemovedCard));
  // The service reports no ATR for a removed card; nothing of the earlier card's ATR may show.
  EXPECT_EQ(Value(reply, "pbAtr"), "NULL");
  EXPECT_EQ(Value(reply, "cbAtrLen"), "0");
}

TEST_F(Exchange, StatusShowsTheAtrOfTheCardInTheReader) {
  RemoveAndWait();
  vcard::CardBehaviour behaviour;
  behaviour.atr = {0x3B, 0x02, 0x14, 0x50};
  InsertAndWait(behaviour);
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  const Members reply =
      Ask(host, With(Json{{"c", 167}, {"w", 0}, {"g", 32}}, KeysS(connected.card)));
  EXPECT_EQ(Value(reply, "pbAtr"), "59,2,20,80");
  EXPECT_EQ(Value(reply, "cbAtrLen"), "4");
}

#if defined(__SANITIZE_ADDRESS__)
// Shadow and quarantine come on top, and AddressSanitizer writes the shadow of every block it
// frees: 512 MiB for a 4 GiB buffer.
constexpr long kSmallHostKb = (64 + 600) * 1024;
#else
constexpr long kSmallHostKb = 16 * 1024;
#endif

// SCardGetAttrib made directly with a zero-filled buffer of length bytes: its result.
uint32_t DirectGetAttrib(const std::string& reader, uint32_t length) {
  SCARDCONTEXT context = 0;
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
  SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
               &card, &protocol);
  void* buffer = std::calloc(length, 1);
  DWORD attributeLength = length;
  const LONG rv = SCardGetAttrib(card, 0x10203, static_cast<LPBYTE>(buffer), &attributeLength);
  std::free(buffer);
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  return static_cast<uint32_t>(rv);
}

// Buffers far above anything a service needs are still made as asked: the call goes out with
// them and the service answers as it would a direct client.
TEST_F(Exchange, BuffersAbove16MiBReachTheService) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  for (const uint32_t receive : {20000000u, 4294967295u}) {
    Json request = TransmitRequest(connected.card, connected.protocol, kSelect, receive);
    request["i"] = "t";
    EXPECT_EQ(Ask(host, request), TransmitReply("t", ReceivePciProtocol(), kOk)) << receive;
  }
  for (const uint32_t length : {20000000u, 4294967294u}) {
    const Members reply =
        Ask(host, With(Json{{"i", "a"}, {"c", 122}, {"g", 0x10203}, {"q", 0}, {"m", length}},
                       KeysS(connected.card)));
    EXPECT_EQ(Keys(reply),
              (std::vector<std::string>{"i", "SCardGetAttrib", "resp", "pbAttr", "cbAttrLen"}))
        << length << ": the host must answer, not end";
    EXPECT_EQ(Value(reply, "SCardGetAttrib"), StatusText(DirectGetAttrib(reader_, length)))
        << length;
  }
  // What follows is the pcsc-lite layer's and the host process's own: under wine the names
  // buffer goes to a bridge, and the process is wine's.
  if (!NativeHost()) return;
  const Members status =
      Ask(host, With(Json{{"c", 167}, {"w", 4294967294u}, {"g", 32}}, KeysS(connected.card)));
  EXPECT_EQ(Value(status, "mszReaderNames"), ByteList(truth_.names));
  EXPECT_EQ(Value(status, "cchReaderLen"), std::to_string(truth_.names.size()));
  // Untouched pages stay unmapped: the host stays small with buffers of gigabytes.
  const long peakKb = PeakRssKb(host.process.pid);
  std::printf("peak RSS of the host after 4 GiB buffers: %ld KiB\n", peakKb);
  EXPECT_GT(peakKb, 0);
  EXPECT_LT(peakKb, kSmallHostKb);
}

// pcsc-lite hands out memory also from calls on handles that are gone, and will not take it back
// on a context that is not live. The host releases it all the same: the sanitizer build's leak
// check at the host's exit fails this test otherwise.
TEST_F(Exchange, ServiceMemoryIsReleasedWhateverTheContextSlotHolds) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  // Names of a live card while the context slot holds a context that never was.
  Ask(host, Json{{"c", 147}, {"p", 8}, {"x", 0x5A}, {"y", 0x5A}});
  const Json names = With(Json{{"c", 167}, {"w", 4294967295u}, {"g", 32}}, KeysS(connected.card));
  for (int i = 0; i < 3; ++i) {
    const Members reply = Ask(host, names);
    EXPECT_EQ(Value(reply, "SCardStatusA"), "0");
    EXPECT_EQ(Value(reply, "mszReaderNames"), ByteList(truth_.names));
  }
  // Attributes of a card whose context was released.
  EXPECT_EQ(
      Value(Ask(host, With(Json{{"c", 160}}, KeysW(connected.context))), "SCardReleaseContext"),
      "0");
  for (int i = 0; i < 3; ++i) {
    const Members reply = Ask(host, Json{{"c", 122}, {"p", 0}, {"q", 0}, {"m", 4294967295u}});
    EXPECT_EQ(Value(reply, "SCardGetAttrib"), StatusText(kInvalidHandle));
    EXPECT_EQ(Value(reply, "pbAttr"), "NULL");
  }
}

}  // namespace
}  // namespace rig
