// Reader state changes that really happen: the virtual card is removed and inserted while the
// host waits in SCardGetStatusChange, and a wait with nothing happening times out.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "card_fixture.h"

namespace rig {
namespace {

constexpr size_t kRecord = 200;

struct Record {
  std::string name;
  Bytes userData;  // 8 bytes
  uint32_t currentState = 0;
  uint32_t eventState = 0;
  Bytes atr;         // cbAtr bytes
  Bytes staleBytes;  // bytes of the ATR field beyond cbAtr
};

void Put32(Bytes& bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const Bytes& bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= uint32_t{bytes[offset + i]} << (8 * i);
  return value;
}

Bytes Encode(const Record& record) {
  Bytes bytes(kRecord, 0);
  std::copy(record.name.begin(), record.name.end(), bytes.begin());
  std::copy(record.userData.begin(), record.userData.end(), bytes.begin() + 128);
  Put32(bytes, 136, record.currentState);
  Put32(bytes, 144, record.eventState);
  Put32(bytes, 152, static_cast<uint32_t>(record.atr.size()));
  std::copy(record.atr.begin(), record.atr.end(), bytes.begin() + 160);
  std::copy(record.staleBytes.begin(), record.staleBytes.end(),
            bytes.begin() + 160 + static_cast<long>(record.atr.size()));
  return bytes;
}

class StateChange : public CardInReader {
 protected:
  // Sends a wait for reader 0 that believes current is the state; returns the id.
  std::string SendWait(Host& host, uint32_t current, uint32_t timeoutMs) {
    return Send(host, WaitRequest(current, timeoutMs));
  }

  Json WaitRequest(uint32_t current, uint32_t timeoutMs) {
    sent_ = Record{reader_, {1, 2, 3, 4, 0xF5, 0xF6, 0xF7, 0xF8}, current, 0, {}, {}};
    return With(Json{{"c", 133}, {"m", timeoutMs}, {"k", ByteList(Encode(sent_))}, {"w", 1}},
                KeysS(context_));
  }

  // Checks the whole reply against what the service must have done with the record: everything
  // comes back as sent except the event state and the ATR, and every unused byte is zero.
  // Returns the event state. With staleAtr, the ATR field beyond cbAtr is taken as the service
  // left it: pcsc-lite keeps the last card's ATR bytes there after a removal.
  uint32_t CheckReply(const Members& reply, const std::string& id, uint32_t result,
                      const Bytes& atr, bool staleAtr = false) {
    const Bytes records = ParseByteList(Value(reply, "rgReaderStates"));
    EXPECT_EQ(records.size(), kRecord);
    if (records.size() != kRecord) return 0;
    Record expected = sent_;
    expected.eventState = Get32(records, 144);
    expected.atr = atr;
    if (staleAtr) {
      expected.staleBytes.assign(records.begin() + 160 + static_cast<long>(atr.size()),
                                 records.begin() + 196);
    }
    EXPECT_EQ(reply, Concat(Head(id, "SCardGetStatusChangeA", result),
                            {{"rgReaderStates", ByteList(Encode(expected))}, {"cReaders", "1"}}));
    return expected.eventState;
  }

  void EstablishContext(Host& host) {
    const Members reply = Ask(host, Json{{"c", 114}, {"p", 2}});
    ASSERT_EQ(Value(reply, "SCardEstablishContext"), "0");
    context_ = HandleBytes(reply);
  }

  Bytes context_;
  Record sent_;
};

TEST_F(StateChange, RemovalAndInsertionWakeTheWaitingHost) {
  Host host;
  Start(host);
  EstablishContext(host);

  std::string id = SendWait(host, 0, 0);  // unaware: report the state at once
  std::optional<Members> reply = Receive(host, 5000);
  ASSERT_TRUE(reply.has_value());
  uint32_t state = CheckReply(*reply, id, kSuccess, vcard::kDefaultAtr);
  EXPECT_EQ(state & (kStatePresent | kStateChanged), kStatePresent | kStateChanged);

  id = SendWait(host, state, 10000);
  EXPECT_FALSE(Receive(host, 400).has_value()) << "the wait ended with nothing changed";
  vcard::RemoveCard(card_);
  reply = Receive(host, 5000);
  ASSERT_TRUE(reply.has_value()) << "the removal did not end the wait";
  state = CheckReply(*reply, id, kSuccess, {}, true);
  EXPECT_EQ(state & (kStateEmpty | kStateChanged | kStatePresent), kStateEmpty | kStateChanged);

  id = SendWait(host, state, 10000);
  EXPECT_FALSE(Receive(host, 400).has_value()) << "the wait ended with nothing changed";
  ASSERT_TRUE(vcard::InsertCard(card_, vcard::RigHost(), vcard::RigPort(0), {}));
  reply = Receive(host, 5000);
  ASSERT_TRUE(reply.has_value()) << "the insertion did not end the wait";
  state = CheckReply(*reply, id, kSuccess, vcard::kDefaultAtr);
  EXPECT_EQ(state & (kStateEmpty | kStateChanged | kStatePresent), kStatePresent | kStateChanged);
}

TEST_F(StateChange, WaitWithNothingChangingTimesOut) {
  Host host;
  Start(host);
  EstablishContext(host);
  std::string id = SendWait(host, 0, 0);
  std::optional<Members> reply = Receive(host, 5000);
  ASSERT_TRUE(reply.has_value());
  const uint32_t state = CheckReply(*reply, id, kSuccess, vcard::kDefaultAtr);

  const auto start = std::chrono::steady_clock::now();
  id = SendWait(host, state, 300);
  reply = Receive(host, 5000);
  ASSERT_TRUE(reply.has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  CheckReply(*reply, id, kTimeout, vcard::kDefaultAtr);
}

// Replies to requests that arrive together leave together, but never later than the moment the
// host starts to wait: a reader list that arrived with a long wait comes back during the wait.
TEST_F(StateChange, RepliesArrivingWithAWaitLeaveWhileTheHostWaits) {
  Host host;
  Start(host);
  EstablishContext(host);
  SendWait(host, 0, 0);
  std::optional<Members> reply = Receive(host, 5000);
  ASSERT_TRUE(reply.has_value());
  const uint32_t state = Get32(ParseByteList(Value(*reply, "rgReaderStates")), 144);

  Json list = With(Json{{"i", "list"}, {"c", 149}, {"m", ""}, {"k", 0}, {"t", 0}}, KeysS(context_));
  Json wait = WaitRequest(state, 10000);
  wait["i"] = "wait";
  ASSERT_TRUE(
      driver::SendRaw(host.process, driver::Frame(list.dump()) + driver::Frame(wait.dump())));
  reply = Receive(host, 2000);
  ASSERT_TRUE(reply.has_value()) << "the reader list was held back during the wait";
  EXPECT_EQ(Value(*reply, "i"), "list");
  EXPECT_EQ(Value(*reply, "SCardListReadersA"), "0");
  EXPECT_FALSE(Receive(host, 400).has_value()) << "the wait ended with nothing changed";
  vcard::RemoveCard(card_);
  reply = Receive(host, 5000);
  ASSERT_TRUE(reply.has_value()) << "the removal did not end the wait";
  CheckReply(*reply, "wait", kSuccess, {}, true);
}

}  // namespace
}  // namespace rig
