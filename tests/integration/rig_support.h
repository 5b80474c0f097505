// Shared helpers of the integration tests: requests and replies over a real host process, handle
// keys, Byte lists, and the platform values that differ between service implementations.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "byte_text.h"
#include "driver/host_driver.h"
#include "vcard/card_runner.h"

namespace rig {

using driver::Members;
using Json = nlohmann::ordered_json;
using Bytes = std::vector<uint8_t>;

// Values that legitimately differ between pcsc-lite and WinSCard (or a bridge to it), each with
// an environment variable to override it when the host runs elsewhere (see docs/test-rig.md).
struct Expectations {
  uint32_t unsupportedFeature;  // vpcd's answer to control and attribute reads
                                // (TESSERA_EXPECT_UNSUPPORTED, default 0x8010001F)
  uint32_t controlCode;         // a reader control code the reader does not support
                                // (TESSERA_EXPECT_CONTROL_CODE, default SCARD_CTL_CODE(3400))
  int replyTimeoutMs;           // how long a reply may take (TESSERA_REPLY_TIMEOUT_MS, 5000)
};
const Expectations& Expect();
// A number from the environment (any base strtoul reads), or the fallback.
uint32_t EnvOr(const char* name, uint32_t fallback);

// PC/SC result codes as the host writes them (signed decimal of the 32-bit code).
std::string StatusText(uint32_t code);
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kInvalidHandle = 0x80100003;
constexpr uint32_t kTimeout = 0x8010000A;
constexpr uint32_t kSharingViolation = 0x8010000B;
constexpr uint32_t kNoService = 0x8010001D;
constexpr uint32_t kRemovedCard = 0x80100069;

// PC/SC values the tests pass.
constexpr uint32_t kShareShared = 2;
constexpr uint32_t kShareExclusive = 1;
constexpr uint32_t kProtocolT0 = 1;
constexpr uint32_t kProtocolT1 = 2;
constexpr uint32_t kLeaveCard = 0;
constexpr uint32_t kResetCard = 1;
constexpr uint32_t kUnpowerCard = 2;
constexpr uint32_t kStateChanged = 0x2;
constexpr uint32_t kStateEmpty = 0x10;
constexpr uint32_t kStatePresent = 0x20;

// A running host with a request counter for ids.
struct Host {
  driver::HostProcess process;
  int nextId = 1;
  Host() = default;
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;
  ~Host();
};

using driver::PeakRssKb;
// True when the host runs as itself, not through $TESSERA_HOST_COMMAND (wine and a bridge): its
// process is then the host alone.
bool NativeHost();

// Starts the configured host; fails the test when it cannot.
void Start(Host& host);
// Sends one request (adding "i" when it has none) and returns its decoded reply; fails the test
// and returns no members when no well-formed reply comes within the reply timeout.
Members Ask(Host& host, Json request);
// Sends one request without waiting for its reply; returns the id used.
std::string Send(Host& host, Json request);
// The next reply, decoded (nothing on timeout).
std::optional<Members> Receive(Host& host, int timeoutMs);

std::string Value(const Members& reply, const std::string& key);
std::vector<std::string> Keys(const Members& reply);

// The eight handle bytes carried by a 114 or 109 reply, least significant first.
Bytes HandleBytes(const Members& reply);
// Handle bytes as request keys: set S ("x","y","z","s","l","b","h","j") or W
// ("x","y","z","w","m","s","t","k"), with "p" 8.
Json KeysS(const Bytes& handle);
Json KeysW(const Bytes& handle);
// Adds keys to a request.
Json With(Json request, const Json& keys);

using bytetext::ByteList;
using bytetext::ParseByteList;
// A multi-string of names: each name and a NUL, then one more NUL.
Bytes MultiString(const std::vector<std::string>& names);
Bytes TextBytes(const std::string& text);

// The members of a reply head.
Members Head(const std::string& id, const std::string& call, uint32_t result,
             const std::string& echo = "");
Members Concat(Members head, const Members& tail);

// A transmit request for the card: PCI records for the protocol (send and receive), the APDU
// and a receive buffer of the given size.
Json TransmitRequest(const Bytes& card, uint32_t protocol, const Bytes& apdu, uint32_t receive);

// A context established on a fresh host, and a card connected in reader 0, as most card tests
// need them.
struct Connected {
  Bytes context;
  Bytes card;
  uint32_t protocol = 0;
};
Connected EstablishAndConnect(Host& host, const std::string& reader, uint32_t share = kShareShared);

}  // namespace rig
