// Transactions that really exclude: a second host process waits in its begin until the first
// one ends its transaction.
#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>

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

// ---- Many tabs, one card ----------------------------------------------------------------------

using Clock = std::chrono::steady_clock;
constexpr uint32_t kResetWarning = 0x80100068;      // SCARD_W_RESET_CARD
constexpr uint32_t kUnpoweredWarning = 0x80100067;  // SCARD_W_UNPOWERED_CARD
constexpr uint32_t kProtocolMismatch = 0x8010000F;  // SCARD_E_PROTO_MISMATCH

long Milliseconds(Clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// pcscd's own clean-up: how long after a client holding the transaction lock is killed a direct
// client's waiting begin returns.
long MeasureLockCleanupMs(const std::string& reader) {
  Host holder;
  Start(holder);
  const Connected held = EstablishAndConnect(holder, reader);
  EXPECT_EQ(Value(Ask(holder, With(Json{{"c", 107}}, KeysS(held.card))), "SCardBeginTransaction"),
            "0");
  std::atomic<bool> connected{false};  // the waiter is about to ask for the card
  std::atomic<long> begun{-1};
  Clock::time_point killed;
  std::thread waiter([&] {
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    connected = true;  // pcscd holds a connect, too, while another client has the lock
    const LONG rv = SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                                 SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (rv == SCARD_S_SUCCESS && SCardBeginTransaction(card) == SCARD_S_SUCCESS) {
      begun = Milliseconds(Clock::now() - killed);
      SCardEndTransaction(card, SCARD_LEAVE_CARD);
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
  });
  while (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the waiter is in its begin
  killed = Clock::now();
  ::kill(holder.process.pid, SIGKILL);
  waiter.join();
  driver::WaitExit(holder.process, 5000);
  driver::StopHost(holder.process);
  EXPECT_GE(begun.load(), 0) << "the direct client never got the card after the kill";
  return begun;
}

// One browser tab's host: establish, connect shared, then rounds of begin, transmit, status and
// end with a random disposition; one request outstanding at a time.
struct Tab {
  enum Step { kEstablish, kConnect, kBegin, kTransmit, kStatus, kEnd, kReconnect, kDone };
  std::unique_ptr<Host> host = std::make_unique<Host>();
  Step step = kEstablish;
  std::string id;  // the outstanding request
  Clock::time_point sent;
  Bytes context, card;
  uint32_t protocol = 0;
  bool inTransaction = false;
};

TEST_F(Transactions, ManyTabsOnOneCardSurviveKilledHosts) {
  // 32 wine processes and their restarts would measure wine on this machine, not the host.
  if (!NativeHost()) GTEST_SKIP() << "the load test runs the native host only";
  constexpr size_t kTabs = 32;
  const long seconds = static_cast<long>(EnvOr("TESSERA_LOAD_SECONDS", 20));
  const long cleanupMs = std::max(MeasureLockCleanupMs(reader_), MeasureLockCleanupMs(reader_));
  // A lock that outlived its host would hold every other tab for good; waits this long are not
  // pcscd's clean-up any more.
  const long allowedWaitMs = std::max(3 * cleanupMs, cleanupMs + 2000);

  std::mt19937 random(12);
  std::vector<Tab> tabs(kTabs);
  std::vector<pid_t> started;
  long served = 0, killed = 0, reconnects = 0, longestWaitMs = 0, peakRssKb = 0;
  std::vector<long> waits;
  Clock::time_point lastKill{};
  bool awaitingCard = false;  // a kill whose freed card no tab has had yet

  auto send = [&](Tab& tab, Tab::Step step, Json request) {
    tab.step = step;
    tab.id = Send(*tab.host, std::move(request));
    tab.sent = Clock::now();
  };
  auto begin = [&](Tab& tab) { send(tab, Tab::kBegin, With(Json{{"c", 107}}, KeysS(tab.card))); };
  auto end = [&](Tab& tab, uint32_t disposition) {
    send(tab, Tab::kEnd, With(Json{{"c", 113}, {"w", disposition}}, KeysS(tab.card)));
  };
  auto open = [&](Tab& tab) {
    tab = Tab{};
    Start(*tab.host);
    started.push_back(tab.host->process.pid);
    send(tab, Tab::kEstablish, Json{{"c", 114}, {"p", 2}});
  };
  for (Tab& tab : tabs) open(tab);

  const Clock::time_point stop = Clock::now() + std::chrono::seconds(seconds);
  Clock::time_point nextKill = Clock::now() + std::chrono::milliseconds(500);
  for (;;) {
    const bool draining = Clock::now() >= stop;
    if (std::all_of(tabs.begin(), tabs.end(), [](const Tab& t) { return t.step == Tab::kDone; })) {
      break;
    }
    // Kill a host inside its transaction, once the card was had again after the last kill.
    if (!draining && !awaitingCard && Clock::now() >= nextKill) {
      std::vector<Tab*> holders;
      for (Tab& tab : tabs) {
        if (tab.inTransaction && tab.step != Tab::kEnd) holders.push_back(&tab);
      }
      if (!holders.empty()) {
        Tab& victim = *holders[random() % holders.size()];
        peakRssKb = std::max(peakRssKb, PeakRssKb(victim.host->process.pid));
        ::kill(victim.host->process.pid, SIGKILL);
        lastKill = Clock::now();
        awaitingCard = true;
        ++killed;
        driver::WaitExit(victim.host->process, 5000);
        driver::StopHost(victim.host->process);
        open(victim);
        nextKill = Clock::now() + std::chrono::milliseconds(200 + random() % 400);
      }
    }
    std::vector<pollfd> fds;
    for (Tab& tab : tabs) {
      if (tab.step == Tab::kDone) continue;
      fds.push_back({tab.host->process.fromHost, POLLIN, 0});
      ASSERT_LT(Milliseconds(Clock::now() - tab.sent), 30000)
          << "a host did not answer request " << tab.id << " in step " << tab.step;
    }
    ::poll(fds.data(), fds.size(), 50);
    for (Tab& tab : tabs) {
      if (tab.step == Tab::kDone) continue;
      pollfd check{tab.host->process.fromHost, POLLIN, 0};
      if (::poll(&check, 1, 0) <= 0) continue;
      const std::optional<Members> reply = Receive(*tab.host, 1000);
      if (!reply) continue;  // part of a frame so far
      ++served;
      ASSERT_EQ(Value(*reply, "i"), tab.id) << "replies out of order";
      ASSERT_GE(reply->size(), 3u);
      const std::string& result = (*reply)[1].second;
      // Another tab reset the card, or unpowered it (pcscd then refuses transmits as a protocol
      // mismatch until a reconnect powers the card again).
      const bool warned =
          result == StatusText(kResetWarning) || result == StatusText(kUnpoweredWarning);
      const bool unpowered = tab.step == Tab::kTransmit && result == StatusText(kProtocolMismatch);
      ASSERT_TRUE(result == "0" || warned || unpowered)
          << "step " << tab.step << ": " << (*reply)[1].first << " " << result;
      if (warned || unpowered) {
        ++reconnects;
        send(tab, Tab::kReconnect,
             With(Json{{"c", 159},
                       {"w", kShareShared},
                       {"m", kProtocolT0 | kProtocolT1},
                       {"t", unpowered ? kResetCard : kLeaveCard}},
                  KeysS(tab.card)));
        continue;
      }
      switch (tab.step) {
        case Tab::kEstablish:
          tab.context = HandleBytes(*reply);
          send(tab, Tab::kConnect,
               With(Json{{"c", 109},
                         {"g", reader_},
                         {"q", kShareShared},
                         {"b", kProtocolT0 | kProtocolT1}},
                    KeysW(tab.context)));
          break;
        case Tab::kConnect:
          tab.card = HandleBytes(*reply);
          tab.protocol = static_cast<uint32_t>(std::stoul(Value(*reply, "dwActiveProtocol")));
          draining ? void(tab.step = Tab::kDone) : begin(tab);
          break;
        case Tab::kBegin:
          EXPECT_EQ(*reply, Head(tab.id, "SCardBeginTransaction", kSuccess));
          tab.inTransaction = true;
          if (awaitingCard) {
            const long wait = Milliseconds(Clock::now() - lastKill);
            waits.push_back(wait);
            longestWaitMs = std::max(longestWaitMs, wait);
            awaitingCard = false;
          }
          if (draining) {
            end(tab, kLeaveCard);
          } else {
            Json transmit = TransmitRequest(tab.card, tab.protocol,
                                            {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}, 258);
            send(tab, Tab::kTransmit, transmit);
          }
          break;
        case Tab::kTransmit:
          EXPECT_EQ(Value(*reply, "pbRecvBuffer"), "144,0") << "the card's answer";
          send(tab, Tab::kStatus, With(Json{{"c", 167}, {"w", 0}, {"g", 32}}, KeysS(tab.card)));
          break;
        case Tab::kStatus:
          EXPECT_EQ(Value(*reply, "pbAtr"), ByteList(vcard::kDefaultAtr));
          end(tab, std::vector<uint32_t>{kLeaveCard, kLeaveCard, kResetCard,
                                         kUnpowerCard}[random() % 4]);
          break;
        case Tab::kEnd:
          EXPECT_EQ(*reply, Head(tab.id, "SCardEndTransaction", kSuccess));
          tab.inTransaction = false;
          draining ? void(tab.step = Tab::kDone) : begin(tab);
          break;
        case Tab::kReconnect:
          tab.protocol = static_cast<uint32_t>(std::stoul(Value(*reply, "dwActiveProtocol")));
          if (tab.inTransaction) {
            end(tab, kLeaveCard);
          } else {
            draining ? void(tab.step = Tab::kDone) : begin(tab);
          }
          break;
        case Tab::kDone:
          break;
      }
    }
  }
  for (Tab& tab : tabs) {
    peakRssKb = std::max(peakRssKb, PeakRssKb(tab.host->process.pid));
    tab.host.reset();  // ends its input; it must end with status 0
  }
  for (const pid_t pid : started) {
    EXPECT_TRUE(::kill(pid, 0) == -1 && errno == ESRCH) << "host " << pid << " is left";
  }
  EXPECT_EQ(direct::ViewCard(reader_).result, 0) << "pcscd stopped serving";
  EXPECT_GT(killed, 0);
  EXPECT_EQ(waits.size(), static_cast<size_t>(killed)) << "the card was never had after a kill";
  EXPECT_LE(longestWaitMs, allowedWaitMs) << "a transaction lock outlived its killed host";
  std::printf(
      "many tabs: %ld s, %zu hosts at once, %zu started, %ld killed in transactions, "
      "%ld requests served, %ld reconnects after another tab's reset or unpower\n"
      "pcscd lock clean-up after a kill: %ld ms; longest wait for the card after a kill "
      "under load: %ld ms; peak RSS per host: %ld KiB\n",
      seconds, kTabs, started.size(), killed, served, reconnects, cleanupMs, longestWaitMs,
      peakRssKb);
}

}  // namespace
}  // namespace rig
