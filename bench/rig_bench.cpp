// The host between the extension and a real pcsc-lite daemon, against a direct pcsc-lite client
// making the same calls: list the readers, and the status of a connected card. Both run in the
// same process loop, rounds alternating, and the medians are printed with their ratio.
// Run it beside a private pcscd with a vpcd reader that holds a card (bench/rig.sh does that).
// Usage: tessera-bench-rig HOST READER [--calls N] [--rounds N]
#include <PCSC/winscard.h>

#include <unistd.h>
#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "child_process.h"
#include "request_bodies.h"

namespace {

using bench::Child;

long g_hostPeakKib = 0;  // the real host's peak RSS over every round

// The handle in a reply's Handle text: the eight byte members after the count member.
uint64_t HandleFrom(const std::string& reply, const char* const members[8]) {
  const nlohmann::json json = nlohmann::json::parse(reply);
  uint64_t handle = 0;
  for (int k = 0; k < 8; ++k) {
    handle |= std::stoull(json.at(members[k]).get<std::string>()) << (8 * k);
  }
  return handle;
}

void Expect(bool ok, const char* what, const std::string& detail) {
  if (ok) return;
  std::fprintf(stderr, "rig bench: %s: %s\n", what, detail.c_str());
  std::exit(2);
}

// Per-call figures of one round, in nanoseconds.
struct Round {
  double list = 0;
  double status = 0;
  double transmit = 0;  // one short APDU to the card and its answer, the whole stack
};

// An APDU costs a trip to the card: fewer of them make a round.
size_t TransmitCalls(size_t calls) {
  return std::max<size_t>(calls / 10, 10);
}

// Nanoseconds per call through the host, for the reader list, the card's status and a transmit.
Round ThroughHost(const std::string& host, const std::string& reader, size_t calls) {
  static const char* const kContext[8] = {"pbContext0", "pbContext1", "pbContext2", "pbContext3",
                                          "pbContext4", "pbContext5", "pbContext6", "pbContext7"};
  static const char* const kCard[8] = {"pbHandlet0", "pbContext1", "pbContext2", "pbContext3",
                                       "pbContext4", "pbContext5", "pbContext6", "pbContext7"};
  Child child = bench::Spawn({host});
  auto ask = [&](const std::string& body) {
    bench::WriteAll(child.toChild, bench::Frame(body));
    return bench::ReadReply(child);
  };
  const std::string established = ask(bench::EstablishContextBody());
  Expect(established.find("\"SCardEstablishContext\":\"0\"") != std::string::npos,
         "establishing a context through the host", established);
  const uint64_t context = HandleFrom(established, kContext);
  const std::string list = bench::Frame(bench::ListReadersBody(context));
  const std::string first = ask(bench::ListReadersBody(context));
  Expect(first.find("\"SCardListReadersA\":\"0\"") != std::string::npos, "listing readers", first);
  int64_t start = bench::NowNs();
  for (size_t i = 0; i < calls; ++i) {
    bench::WriteAll(child.toChild, list);
    bench::SkipReplies(child, 1);
  }
  const double listNs = static_cast<double>(bench::NowNs() - start) / static_cast<double>(calls);

  const std::string connected = ask(bench::ConnectBody(context, reader));
  Expect(connected.find("\"SCardConnectA\":\"0\"") != std::string::npos, "connecting", connected);
  const uint64_t card = HandleFrom(connected, kCard);
  const std::string status = bench::Frame(bench::StatusBody(card));
  const std::string firstStatus = ask(bench::StatusBody(card));
  Expect(firstStatus.find("\"SCardStatusA\":\"0\"") != std::string::npos, "card status",
         firstStatus);
  start = bench::NowNs();
  for (size_t i = 0; i < calls; ++i) {
    bench::WriteAll(child.toChild, status);
    bench::SkipReplies(child, 1);
  }
  const double statusNs = static_cast<double>(bench::NowNs() - start) / static_cast<double>(calls);

  const uint32_t protocol = static_cast<uint32_t>(
      std::stoul(nlohmann::json::parse(connected).at("dwActiveProtocol").get<std::string>()));
  const std::string transmit = bench::TransmitBody(card, bench::ShortApdu(), 258, protocol);
  const std::string firstTransmit = ask(transmit);
  Expect(firstTransmit.find("\"SCardTransmit\":\"0\"") != std::string::npos, "transmit",
         firstTransmit);
  const std::string transmitFrame = bench::Frame(transmit);
  const size_t transmits = TransmitCalls(calls);
  start = bench::NowNs();
  for (size_t i = 0; i < transmits; ++i) {
    bench::WriteAll(child.toChild, transmitFrame);
    bench::SkipReplies(child, 1);
  }
  const double transmitNs =
      static_cast<double>(bench::NowNs() - start) / static_cast<double>(transmits);
  // Disconnect and release, as an extension would.
  ask(R"({"i":"1","c":112,"p":0,"w":0})");
  ask(R"({"i":"1","c":160,"p":0})");
  g_hostPeakKib = std::max(g_hostPeakKib, bench::PeakRssKib(child.pid));
  bench::Finish(child);
  return {listNs, statusNs, transmitNs};
}

// The same calls made directly, the way the host makes them: the service allocates the lists.
Round Direct(const std::string& reader, size_t calls) {
  SCARDCONTEXT context = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
  Expect(rv == SCARD_S_SUCCESS, "SCardEstablishContext", std::to_string(rv));
  int64_t start = bench::NowNs();
  for (size_t i = 0; i < calls; ++i) {
    char* readers = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    rv = SCardListReaders(context, nullptr, reinterpret_cast<char*>(&readers), &length);
    Expect(rv == SCARD_S_SUCCESS, "SCardListReaders", std::to_string(rv));
    SCardFreeMemory(context, readers);
  }
  const double listNs = static_cast<double>(bench::NowNs() - start) / static_cast<double>(calls);

  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  rv = SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                    SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
  Expect(rv == SCARD_S_SUCCESS, "SCardConnect", std::to_string(rv));
  start = bench::NowNs();
  for (size_t i = 0; i < calls; ++i) {
    char* names = nullptr;
    DWORD namesLength = SCARD_AUTOALLOCATE;
    DWORD state = 0;
    BYTE atr[36];
    DWORD atrLength = 32;
    rv = SCardStatus(card, reinterpret_cast<char*>(&names), &namesLength, &state, &protocol, atr,
                     &atrLength);
    Expect(rv == SCARD_S_SUCCESS, "SCardStatus", std::to_string(rv));
    SCardFreeMemory(context, names);
  }
  const double statusNs = static_cast<double>(bench::NowNs() - start) / static_cast<double>(calls);

  const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
  const std::vector<uint8_t> apdu = bench::ShortApdu();
  const size_t transmits = TransmitCalls(calls);
  start = bench::NowNs();
  for (size_t i = 0; i < transmits; ++i) {
    BYTE answer[258];
    DWORD answerLength = sizeof answer;
    rv = SCardTransmit(card, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, answer,
                       &answerLength);
    Expect(rv == SCARD_S_SUCCESS, "SCardTransmit", std::to_string(rv));
  }
  const double transmitNs =
      static_cast<double>(bench::NowNs() - start) / static_cast<double>(transmits);
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  return {listNs, statusNs, transmitNs};
}

// The daemon notices a card some time after the virtual card has connected: wait (bounded)
// until a connect succeeds.
void WaitForCard(const std::string& reader) {
  SCARDCONTEXT context = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
  Expect(rv == SCARD_S_SUCCESS, "SCardEstablishContext", std::to_string(rv));
  for (int attempt = 0; attempt < 200; ++attempt) {
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    rv = SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                      SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (rv == SCARD_S_SUCCESS) {
      SCardDisconnect(card, SCARD_LEAVE_CARD);
      break;
    }
    usleep(50 * 1000);
  }
  SCardReleaseContext(context);
  Expect(rv == SCARD_S_SUCCESS, "waiting for the card", std::to_string(rv));
}

// Nanoseconds per list-readers round trip through command, one request at a time, after one
// untimed call whose reply must not be empty.
double ListRoundTrip(const std::vector<std::string>& command, size_t calls) {
  Child child = bench::Spawn(command);
  const std::string frame = bench::Frame(bench::ListReadersBody(bench::kBenchContext));
  bench::WriteAll(child.toChild, frame);
  Expect(!bench::ReadReply(child).empty(), "a first round trip", command[0]);
  const int64_t start = bench::NowNs();
  for (size_t i = 0; i < calls; ++i) {
    bench::WriteAll(child.toChild, frame);
    bench::SkipReplies(child, 1);
  }
  const double ns = static_cast<double>(bench::NowNs() - start) / static_cast<double>(calls);
  bench::Finish(child);
  return ns;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(
        stderr,
        "usage: %s HOST READER [--calls N] [--rounds N] [--echo ECHO] [--list-floor FLOOR]\n",
        argv[0]);
    return 2;
  }
  alarm(600);  // a daemon or host that stops answering must not hang the run
  const std::string host = argv[1];
  const std::string reader = argv[2];
  size_t calls = 2000;
  int rounds = 5;
  std::string echo;
  std::string listFloor;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--calls") == 0) calls = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--echo") == 0) echo = argv[i + 1];
    if (std::strcmp(argv[i], "--list-floor") == 0) listFloor = argv[i + 1];
  }
  WaitForCard(reader);
  std::vector<double> hostList, hostStatus, hostTransmit, directList, directStatus, directTransmit,
      hop, floorList;
  for (int r = 0; r < rounds; ++r) {
    const Round h = ThroughHost(host, reader, calls);
    const Round d = Direct(reader, calls);
    hostList.push_back(h.list);
    hostStatus.push_back(h.status);
    hostTransmit.push_back(h.transmit);
    directList.push_back(d.list);
    directStatus.push_back(d.status);
    directTransmit.push_back(d.transmit);
    // The frame-echo floor: what the extra hop between extension and host costs before the
    // host does anything.
    if (!echo.empty()) hop.push_back(ListRoundTrip({echo, "200"}, calls));
    // The least host making the same call (list_floor.cpp).
    if (!listFloor.empty()) floorList.push_back(ListRoundTrip({listFloor}, calls));
  }
  const double list = bench::Median(hostList) / 1000;
  const double status = bench::Median(hostStatus) / 1000;
  const double directListUs = bench::Median(directList) / 1000;
  const double directStatusUs = bench::Median(directStatus) / 1000;
  auto print = [](const char* what, double h, double floor, const char* target, bool held) {
    std::printf("%-44s %14.1f %14.1f %8.2f  %-16s %s\n", what, h, floor, h / floor, target,
                held ? "yes" : "NO");
  };
  std::printf("%-44s %14ld %14s %8s  %-16s %s\n", "(f) real host peak RSS beside pcscd [KiB]",
              g_hostPeakKib, "-", "-", "<= 4096 KiB", g_hostPeakKib <= 4096 ? "yes" : "NO");
  print("(e) pcscd list readers, per call [us]", list, directListUs, "<= 1.3",
        list <= 1.3 * directListUs);
  if (!floorList.empty()) {
    const double floorUs = bench::Median(floorList) / 1000;
    print("(e) 149 list readers vs minimal host [us]", list, floorUs, "<= 1.05",
          list <= 1.05 * floorUs);
  }
  print("(e) pcscd card status, per call [us]", status, directStatusUs, "<= 1.3",
        status <= 1.3 * directStatusUs);
  // The card side must acknowledge at once: with delayed ACKs every APDU costs about 40 ms
  // whatever the host does.
  const double transmit = bench::Median(hostTransmit) / 1000;
  const double directTransmitUs = bench::Median(directTransmit) / 1000;
  print("(e) whole-stack transmit, per APDU [us]", transmit, directTransmitUs, "<= 5000 us",
        transmit <= 5000);
  print("    transmit vs direct, per APDU [us]", transmit, directTransmitUs, "<= 1.3",
        transmit <= 1.3 * directTransmitUs);
  if (!hop.empty()) {
    // The floor that any host has: the direct call plus one round trip over the pipes.
    const double hopUs = bench::Median(hop) / 1000;
    print("    list readers vs direct + echo round trip", list, directListUs + hopUs, "(info)",
          true);
    print("    card status vs direct + echo round trip", status, directStatusUs + hopUs, "(info)",
          true);
  }
  return 0;
}
