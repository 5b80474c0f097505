// Faults of the real stack while the host is serving, each in a rig of its own: the smart-card
// daemon killed and started again, the card pulled during a transmit and during a wait, the
// reader's card side dropping in the middle of an APDU, and the browser closing the host's output
// or its input in the middle of a frame. After each fault the host must answer every request with
// a complete reply (the service's error code where the service fails), work again once the stack
// is back, and end with status 0 at end of input.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "card_fixture.h"

namespace rig {

namespace {

const Bytes kSelect = {0x00, 0xA4, 0x04, 0x00, 0x00};
const std::vector<std::string> kTransmitMembers = {
    "i", "SCardTransmit", "resp", "pioRecvPci", "cbPciLength", "pbRecvBuffer", "cbRecvLength"};

bool ProcessGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

// The rig's daemon, killed without warning and started again with the same readers.
struct Daemon {
  pid_t restarted = -1;

  static bool Kill() {
    const char* pid = std::getenv("TESSERA_PCSCD_PID");
    if (pid == nullptr) return false;
    const pid_t daemon = static_cast<pid_t>(std::atol(pid));
    if (kill(daemon, SIGKILL) != 0) return false;
    for (int i = 0; i < 200 && !ProcessGone(daemon); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ProcessGone(daemon);
  }

  bool Start() {
    const std::string conf = std::string(std::getenv("TESSERA_RIG_DIR")) + "/reader.conf.d";
    const std::string log = std::getenv("TESSERA_PCSCD_LOG");
    // A killed daemon leaves its pid file and socket behind; a new one refuses to start beside
    // the pid file.
    unlink("/run/pcscd/pcscd.pid");
    unlink("/run/pcscd/pcscd.comm");
    restarted = fork();
    if (restarted == 0) {
      const int out = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
      execlp("pcscd", "pcscd", "--foreground", "-c", conf.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (restarted < 0) return false;
    // Serving again: it lists both readers.
    for (int i = 0; i < 500; ++i) {
      if (!direct::ListReaders().empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  ~Daemon() {
    if (restarted > 0) {
      kill(restarted, SIGTERM);
      waitpid(restarted, nullptr, 0);
    }
  }
};

std::vector<std::string> KeysOf(const Members& reply) {
  return Keys(reply);
}

class Faults : public CardInReader {
 protected:
  Connected connected_;

  void Connect(Host& host) {
    connected_ = EstablishAndConnect(host, reader_);
    ASSERT_EQ(connected_.card.size(), 8u);
  }

  void ExpectSelectWorks(Host& host) {
    const Members reply =
        Ask(host, TransmitRequest(connected_.card, connected_.protocol, kSelect, 258));
    EXPECT_EQ(Value(reply, "SCardTransmit"), "0");
    EXPECT_EQ(Value(reply, "pbRecvBuffer"), "144,0");
  }

  void ExpectEndsCleanly(Host& host) {
    driver::CloseInput(host.process);
    EXPECT_EQ(driver::WaitExit(host.process, 5000), std::optional<int>(0));
  }
};

// Every request in the dead window is answered with all its members and a failure code.
TEST_F(Faults, DaemonKilledAndStartedAgain) {
  Host host;
  Start(host);
  Connect(host);
  ExpectSelectWorks(host);
  const Bytes context = connected_.context;

  ASSERT_TRUE(Daemon::Kill()) << "could not kill the rig's pcscd";
  const std::vector<std::pair<const char*, Json>> dead = {
      {"transmit", TransmitRequest(connected_.card, connected_.protocol, kSelect, 258)},
      {"status", With(Json{{"c", 167}, {"w", -1}, {"g", 32}}, KeysS(connected_.card))},
      {"list readers", With(Json{{"c", 149}, {"k", 0}}, KeysS(context))},
      {"wait", With(Json{{"c", 133}, {"m", 100}, {"w", 1}, {"k", ByteList(TextBytes(reader_))}},
                    KeysS(context))},
      {"begin transaction", With(Json{{"c", 107}}, KeysS(connected_.card))},
      {"establish", Json{{"c", 114}, {"p", 2}}},
      {"started event", Json{{"c", 103}}},
  };
  for (const auto& [what, request] : dead) {
    const Members reply = Ask(host, request);
    ASSERT_GE(reply.size(), 3u) << what;
    const std::string result = reply[1].second;
    std::printf("with pcscd dead, %-18s -> %s %s\n", what, reply[1].first.c_str(), result.c_str());
    EXPECT_NE(result, "0") << what;
  }

  Daemon daemon;
  ASSERT_TRUE(daemon.Start()) << "pcscd did not come back";
  vcard::RemoveCard(card_);
  InsertAndWait(vcard::CardBehaviour{});
  Connect(host);  // a new context, then a new connection
  ExpectSelectWorks(host);
  ExpectEndsCleanly(host);
}

TEST_F(Faults, CardPulledDuringATransmit) {
  vcard::RemoveCard(card_);
  vcard::CardBehaviour slow;
  vcard::Rule rule;
  rule.command = {0x80, 0xCA, 0x00, 0x00, 0x00};
  rule.response = {0x01, 0x90, 0x00};
  rule.delayMs = 1500;
  slow.rules.push_back(rule);
  InsertAndWait(slow);

  Host host;
  Start(host);
  Connect(host);
  const std::string id =
      Send(host, TransmitRequest(connected_.card, connected_.protocol, rule.command, 258));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  vcard::RemoveCard(card_);
  const std::optional<Members> reply = Receive(host, 10000);
  ASSERT_TRUE(reply.has_value()) << "no reply to the interrupted transmit";
  EXPECT_EQ(KeysOf(*reply), kTransmitMembers);
  EXPECT_EQ(Value(*reply, "i"), id);
  EXPECT_NE(Value(*reply, "SCardTransmit"), "0");
  std::printf("transmit with the card pulled -> %s\n", Value(*reply, "SCardTransmit").c_str());

  // The host still answers on the dead handle (what the service says depends on whether it has
  // seen the removal yet), then works with the card back.
  const Members status =
      Ask(host, With(Json{{"c", 167}, {"w", 0}, {"g", 0}}, KeysS(connected_.card)));
  EXPECT_EQ(Keys(status).size(), 9u);
  ASSERT_TRUE(direct::WaitForCard(reader_, false, 5000));
  InsertAndWait(vcard::CardBehaviour{});
  const Members reconnect =
      Ask(host, With(Json{{"c", 159}, {"w", kShareShared}, {"m", 3}, {"t", kLeaveCard}},
                     KeysS(connected_.card)));
  EXPECT_EQ(Value(reconnect, "SCardReconnect"), "0");
  ExpectSelectWorks(host);
  ExpectEndsCleanly(host);
}

// A wait for any change on both readers, with no time limit: the card pulled from reader 0
// ends it; then the daemon killed during the next endless wait ends that one too.
TEST_F(Faults, CardPulledAndDaemonKilledDuringEndlessWaits) {
  Host host;
  Start(host);
  const Members established = Ask(host, Json{{"c", 114}, {"p", 2}});
  const Bytes context = HandleBytes(established);
  auto records = [&](uint32_t state0, uint32_t state1) {
    Bytes bytes(400, 0);
    const std::string r0 = vcard::RigReader(0);
    const std::string r1 = vcard::RigReader(1);
    std::copy(r0.begin(), r0.end(), bytes.begin());
    std::copy(r1.begin(), r1.end(), bytes.begin() + 200);
    for (int i = 0; i < 4; ++i) {
      bytes[136 + i] = static_cast<uint8_t>(state0 >> (8 * i));
      bytes[336 + i] = static_cast<uint8_t>(state1 >> (8 * i));
    }
    return With(Json{{"c", 133}, {"m", -1}, {"w", 2}, {"k", ByteList(bytes)}}, KeysS(context));
  };
  auto eventState = [](const Members& reply, size_t record) {
    const Bytes bytes = ParseByteList(Value(reply, "rgReaderStates"));
    uint32_t state = 0;
    for (size_t i = 0; i < 4 && bytes.size() >= 400; ++i) {
      state |= uint32_t{bytes[record * 200 + 144 + i]} << (8 * i);
    }
    return state & 0xFFFF;
  };

  const Members now = Ask(host, records(0, 0));
  const uint32_t state0 = eventState(now, 0);
  const uint32_t state1 = eventState(now, 1);
  ASSERT_TRUE(state0 & kStatePresent);

  Send(host, records(state0, state1));
  EXPECT_FALSE(Receive(host, 300).has_value()) << "the wait ended with nothing changed";
  vcard::RemoveCard(card_);
  std::optional<Members> reply = Receive(host, 10000);
  ASSERT_TRUE(reply.has_value()) << "the pulled card did not end the wait";
  EXPECT_EQ(Value(*reply, "SCardGetStatusChangeA"), "0");
  EXPECT_TRUE(eventState(*reply, 0) & kStateEmpty);

  Send(host, records(eventState(*reply, 0), eventState(*reply, 1)));
  EXPECT_FALSE(Receive(host, 300).has_value()) << "the wait ended with nothing changed";
  ASSERT_TRUE(Daemon::Kill());
  reply = Receive(host, 10000);
  ASSERT_TRUE(reply.has_value()) << "the dead daemon left the host waiting";
  EXPECT_NE(Value(*reply, "SCardGetStatusChangeA"), "0");
  EXPECT_EQ(Value(*reply, "cReaders"), "2");
  std::printf("endless wait with pcscd killed -> %s\n",
              Value(*reply, "SCardGetStatusChangeA").c_str());
  EXPECT_EQ(Value(Ask(host, Json{{"c", 103}}), "i").empty(), false) << "the host still serves";
  ExpectEndsCleanly(host);
}

// A card of our own that answers like any card until it sees one APDU, then resets the TCP
// connection in the middle of the exchange, before any answer.
struct DroppingCard {
  int fd = -1;
  bool reset = false;  // a TCP reset rather than an orderly close
  std::thread thread;

  static bool ReadAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
      const ssize_t got = read(fd, p, n);
      if (got <= 0) return false;
      p += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }
  static void Message(int fd, const Bytes& payload) {
    Bytes m = {static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    m.insert(m.end(), payload.begin(), payload.end());
    if (write(fd, m.data(), m.size()) != static_cast<ssize_t>(m.size())) return;
  }

  bool Insert(const Bytes& dropOn) {
    // Not inherited by the host started later, which would keep the connection open.
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(vcard::RigPort(0)));
    inet_pton(AF_INET, vcard::RigHost().c_str(), &address.sin_addr);
    bool connected = false;
    for (int i = 0; i < 100 && !connected; ++i) {
      connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!connected) return false;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    thread = std::thread([this, dropOn] {
      for (;;) {
        uint8_t head[2];
        if (!ReadAll(fd, head, 2)) return;
        Bytes payload(size_t{head[0]} << 8 | head[1]);
        if (!ReadAll(fd, payload.data(), payload.size())) return;
        if (payload.size() == 1) {
          if (payload[0] == 4) Message(fd, vcard::kDefaultAtr);
          continue;
        }
        if (payload == dropOn) {
          // The card side goes away with the APDU unanswered.
          if (reset) {
            const linger abort{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
          }
          close(fd);
          fd = -1;
          return;
        }
        Message(fd, {0x90, 0x00});
      }
    });
    return true;
  }

  ~DroppingCard() {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    if (thread.joinable()) thread.join();
    if (fd >= 0) close(fd);
  }
};

// The card side of the reader goes away with an APDU unanswered, by an orderly close and by a
// TCP reset: the transmit is answered with all its members, the old handle fails from then on,
// and a new card works.
TEST_F(Faults, CardSideOfTheReaderDropsMidApdu) {
  const Bytes drop = {0x80, 0xDD, 0x00, 0x00, 0x00};
  vcard::RemoveCard(card_);
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    ASSERT_TRUE(direct::WaitForCard(reader_, false, 5000));
    DroppingCard card;
    card.reset = reset;
    ASSERT_TRUE(card.Insert(drop));
    ASSERT_TRUE(direct::WaitForCard(reader_, true, 5000));

    Host host;
    Start(host);
    Connect(host);
    ExpectSelectWorks(host);
    const Members reply =
        Ask(host, TransmitRequest(connected_.card, connected_.protocol, drop, 258));
    // vpcd reports the lost answer as success with no bytes; the host passes on what the service
    // says, with every member.
    EXPECT_EQ(Keys(reply), kTransmitMembers);
    std::printf("transmit with the card side %s -> %s, %s bytes\n", reset ? "reset" : "closed",
                Value(reply, "SCardTransmit").c_str(), Value(reply, "cbRecvLength").c_str());
    const Members after =
        Ask(host, TransmitRequest(connected_.card, connected_.protocol, kSelect, 258));
    EXPECT_EQ(Keys(after), kTransmitMembers);
    EXPECT_NE(Value(after, "SCardTransmit"), "0") << "the card is gone";
    std::printf("next transmit on the lost card -> %s\n", Value(after, "SCardTransmit").c_str());

    ASSERT_TRUE(direct::WaitForCard(reader_, false, 5000));
    vcard::InsertedCard next;
    ASSERT_TRUE(vcard::InsertCard(next, vcard::RigHost(), vcard::RigPort(0), {}));
    ASSERT_TRUE(direct::WaitForCard(reader_, true, 5000));
    Connect(host);
    ExpectSelectWorks(host);
    ExpectEndsCleanly(host);
    vcard::RemoveCard(next);
  }
}

// Hostile lengths, counts and records reach the real service through the real backend (its
// record translation included): every request is answered by its own call, and the host serves
// a working exchange afterwards.
TEST_F(Faults, HostileArgumentsReachTheRealServiceSafely) {
  Host host;
  Start(host);
  Connect(host);
  const Json card = KeysS(connected_.card);
  const Json context = KeysS(connected_.context);
  Bytes noNul(200, 'A');
  Bytes junk(16 * 200);
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 7 + 3);
  const std::vector<std::pair<std::string, Json>> requests = {
      {"SCardTransmit", With(Json{{"c", 169}, {"g", "0,164"}, {"q", -1}, {"f", 16777216}}, card)},
      {"SCardTransmit", With(Json{{"c", 169},
                                  {"g", "0,164,4,0,0"},
                                  {"q", 5},
                                  {"f", 4294967295u},
                                  {"t", 0},
                                  {"w", "2,0,0,0,255,255,255,255"},
                                  {"n", 8},
                                  {"m", "1,2,3"},
                                  {"d", 3}},
                             card)},
      {"SCardTransmit", With(Json{{"c", 169},
                                  {"g", "0,164,4,0,0"},
                                  {"q", 70000},
                                  {"f", 258},
                                  {"w", "NULL"},
                                  {"n", 0},
                                  {"m", "NULL"},
                                  {"d", -1}},
                             card)},
      {"SCardControl",
       With(Json{{"c", 111}, {"w", -1}, {"g", "1,2"}, {"q", 16777216}, {"m", -1}}, card)},
      {"SCardControl", With(Json{{"c", 111}, {"w", 1}, {"q", -5}, {"m", 16777216}}, card)},
      {"SCardGetAttrib", With(Json{{"c", 122}, {"g", -1}, {"q", 0}, {"m", -1}}, card)},
      {"SCardGetAttrib", With(Json{{"c", 122}, {"g", 0x90303}, {"q", 0}, {"m", 16777216}}, card)},
      {"SCardStatusA", With(Json{{"c", 167}, {"w", 16777217}, {"g", 1000}}, card)},
      {"SCardStatusA", With(Json{{"c", 167}, {"w", 3}, {"g", 1}}, card)},
      {"SCardListReadersA", With(Json{{"c", 149}, {"m", "65,66"}, {"k", 2147483647}}, context)},
      {"SCardListReadersA", With(Json{{"c", 149}, {"m", "65,66,67"}, {"k", 3}}, context)},
      {"SCardGetStatusChangeA",
       With(Json{{"c", 133}, {"m", 0}, {"w", 1}, {"k", ByteList(noNul)}}, context)},
      {"SCardGetStatusChangeA",
       With(Json{{"c", 133}, {"m", 0}, {"w", 16}, {"k", ByteList(junk)}}, context)},
      {"SCardGetStatusChangeA", With(Json{{"c", 133}, {"m", 0}, {"w", 17}}, context)},
      {"SCardGetStatusChangeA", With(Json{{"c", 133}, {"m", 0}, {"w", -1}}, context)},
      {"SCardReconnect", With(Json{{"c", 159}, {"w", -1}, {"m", -1}, {"t", -1}}, card)},
      {"SCardEndTransaction", With(Json{{"c", 113}, {"w", -1}}, card)},
      {"SCardConnectA",
       With(Json{{"c", 109}, {"p", -7}, {"g", std::string(5000, 'R')}, {"q", -1}, {"b", -1}},
            KeysW(connected_.context))},
  };
  for (const auto& [call, request] : requests) {
    const Members reply = Ask(host, request);
    ASSERT_GE(reply.size(), 3u) << request.dump().substr(0, 200);
    EXPECT_EQ(reply[1].first, call);
    std::printf("%-22s -> %s\n", call.c_str(), reply[1].second.c_str());
  }
  Connect(host);
  ExpectSelectWorks(host);
  ExpectEndsCleanly(host);
}

// The browser goes away while the host has a reply to write: no death by SIGPIPE, status 0.
TEST_F(Faults, BrowserClosesTheHostsOutput) {
  Host host;
  Start(host);
  Connect(host);
  close(host.process.fromHost);
  host.process.fromHost = -1;
  Send(host, TransmitRequest(connected_.card, connected_.protocol, kSelect, 258));
  EXPECT_EQ(driver::WaitExit(host.process, 5000), std::optional<int>(0))
      << "141 would be death by SIGPIPE";
}

TEST_F(Faults, BrowserClosesTheHostsInputMidFrame) {
  for (const std::string& cut :
       {std::string("\x40\x00", 2), std::string("\x40\x00\x00\x00{\"i\":\"1\",\"c\":16", 19)}) {
    Host host;
    Start(host);
    Connect(host);
    ASSERT_TRUE(driver::SendRaw(host.process, cut));
    EXPECT_TRUE(driver::QuietFor(host.process, 100));
    ExpectEndsCleanly(host);
  }
}

}  // namespace
}  // namespace rig
