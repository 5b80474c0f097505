// Transactions that really exclude: a second host process waits in its begin until the first
// one ends its transaction.
#include <gtest/gtest.h>

#include "card_fixture.h"

namespace rig {
namespace {

using Transactions = CardInReader;

TEST_F(Transactions, SecondHostWaitsUntilTheFirstEndsItsTransaction) {
  Host first;
  Host second;
  Start(first);
  Start(second);
  const Connected a = EstablishAndConnect(first, reader_);
  const Connected b = EstablishAndConnect(second, reader_);

  EXPECT_EQ(Ask(first, With(Json{{"i", "b1"}, {"c", 107}}, KeysS(a.card))),
            Head("b1", "SCardBeginTransaction", kSuccess));
  Send(second, With(Json{{"i", "b2"}, {"c", 107}}, KeysS(b.card)));
  EXPECT_FALSE(Receive(second, 700).has_value()) << "the second begin did not wait";

  EXPECT_EQ(Ask(first, With(Json{{"i", "e1"}, {"c", 113}, {"w", kLeaveCard}}, KeysS(a.card))),
            Head("e1", "SCardEndTransaction", kSuccess));
  const std::optional<Members> begun = Receive(second, 5000);
  ASSERT_TRUE(begun.has_value()) << "the second begin never returned";
  EXPECT_EQ(*begun, Head("b2", "SCardBeginTransaction", kSuccess));

  // Now the first one waits for the second.
  Send(first, Json{{"i", "b3"}, {"c", 107}, {"p", 0}});
  EXPECT_FALSE(Receive(first, 700).has_value()) << "the first begin did not wait";
  EXPECT_EQ(Ask(second, Json{{"i", "e2"}, {"c", 113}, {"p", 0}, {"w", kLeaveCard}}),
            Head("e2", "SCardEndTransaction", kSuccess));
  const std::optional<Members> again = Receive(first, 5000);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, Head("b3", "SCardBeginTransaction", kSuccess));
}

TEST_F(Transactions, ExclusiveConnectionKeepsOtherHostsOut) {
  Host first;
  Host second;
  Start(first);
  Start(second);
  const Connected a = EstablishAndConnect(first, reader_, kShareExclusive);
  const Members established = Ask(second, Json{{"c", 114}, {"p", 2}});
  const Members refused = Ask(second, With(Json{{"i", "x"},
                                                {"c", 109},
                                                {"g", reader_},
                                                {"q", kShareShared},
                                                {"b", kProtocolT0 | kProtocolT1}},
                                           KeysW(HandleBytes(established))));
  EXPECT_EQ(refused,
            Concat(Head("x", "SCardConnectA", kSharingViolation), {{"cbHandle", "8"},
                                                                   {"pbHandlet0", "0"},
                                                                   {"pbContext1", "0"},
                                                                   {"pbContext2", "0"},
                                                                   {"pbContext3", "0"},
                                                                   {"pbContext4", "0"},
                                                                   {"pbContext5", "0"},
                                                                   {"pbContext6", "0"},
                                                                   {"pbContext7", "0"},
                                                                   {"dwActiveProtocol", "0"}}));
  // Once the first lets go, the second gets in.
  EXPECT_EQ(Value(Ask(first, With(Json{{"c", 112}, {"w", kLeaveCard}}, KeysS(a.card))),
                  "SCardDisconnect"),
            "0");
  EXPECT_EQ(Value(Ask(second, Json{{"c", 109}, {"p", 0}, {"g", reader_}}), "SCardConnectA"), "0");
}

TEST_F(Transactions, EndWithoutBeginIsTheServicesAnswer) {
  Host host;
  Start(host);
  const Connected connected = EstablishAndConnect(host, reader_);
  const Members reply =
      Ask(host, With(Json{{"i", "e"}, {"c", 113}, {"w", kLeaveCard}}, KeysS(connected.card)));
  EXPECT_EQ(Keys(reply), (std::vector<std::string>{"i", "SCardEndTransaction", "resp"}));
  EXPECT_EQ(Value(reply, "SCardEndTransaction"),
            StatusText(EnvOr("TESSERA_EXPECT_END_WITHOUT_BEGIN",
                             0x80100016u /* SCARD_E_NOT_TRANSACTED */)));
}

}  // namespace
}  // namespace rig
