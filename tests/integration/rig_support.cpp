#include "rig_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace rig {
namespace {

const char* const kKeysS[8] = {"x", "y", "z", "s", "l", "b", "h", "j"};
const char* const kKeysW[8] = {"x", "y", "z", "w", "m", "s", "t", "k"};

Json HandleKeys(const Bytes& handle, const char* const (&keys)[8]) {
  Json json = Json::object();
  json["p"] = 8;
  for (size_t i = 0; i < 8; ++i) json[keys[i]] = i < handle.size() ? handle[i] : 0;
  return json;
}

}  // namespace

uint32_t EnvOr(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
}

const Expectations& Expect() {
  static const Expectations expectations{
      EnvOr("TESSERA_EXPECT_UNSUPPORTED", 0x8010001Fu),
      EnvOr("TESSERA_EXPECT_CONTROL_CODE", 0x42000000u + 3400u),
      static_cast<int>(EnvOr("TESSERA_REPLY_TIMEOUT_MS", 5000)),
  };
  return expectations;
}

std::string StatusText(uint32_t code) {
  return std::to_string(static_cast<int32_t>(code));
}

Host::~Host() {
  // Every host in these tests must end cleanly at the end of its input, as when the browser
  // disconnects; a crash or a sanitizer report at exit shows up here.
  if (process.pid > 0) {
    driver::CloseInput(process);
    EXPECT_EQ(driver::WaitExit(process, 10000), std::optional<int>(0)) << "host exit status";
  }
  driver::StopHost(process);
}

bool NativeHost() {
  const char* command = std::getenv("TESSERA_HOST_COMMAND");
  return command == nullptr || *command == '\0';
}

void Start(Host& host) {
  const std::vector<std::string> command = driver::HostCommand(TESSERA_HOST_BINARY);
  ASSERT_TRUE(driver::StartHost(host.process, command)) << "cannot start " << command.front();
}

std::string Send(Host& host, Json request) {
  if (!request.contains("i")) request["i"] = std::to_string(host.nextId++);
  EXPECT_TRUE(driver::SendFrame(host.process, request.dump())) << "host input closed";
  return request["i"].get<std::string>();
}

std::optional<Members> Receive(Host& host, int timeoutMs) {
  const std::optional<std::string> reply = driver::ReadReply(host.process, timeoutMs);
  if (!reply) return std::nullopt;
  std::optional<Members> members = driver::DecodeReply(*reply);
  EXPECT_TRUE(members.has_value()) << "not a flat object of strings: " << *reply;
  return members;
}

Members Ask(Host& host, Json request) {
  const std::string body = request.dump();
  Send(host, std::move(request));
  std::optional<Members> reply = Receive(host, Expect().replyTimeoutMs);
  EXPECT_TRUE(reply.has_value()) << "no reply to " << body;
  return reply.value_or(Members{});
}

std::string Value(const Members& reply, const std::string& key) {
  for (const auto& [k, v] : reply) {
    if (k == key) return v;
  }
  return "<absent>";
}

std::vector<std::string> Keys(const Members& reply) {
  std::vector<std::string> keys;
  for (const auto& member : reply) keys.push_back(member.first);
  return keys;
}

Bytes HandleBytes(const Members& reply) {
  Bytes handle;
  const bool isCard = Value(reply, "pbHandlet0") != "<absent>";
  for (int i = 0; i < 8; ++i) {
    const std::string key = (i == 0 && isCard) ? "pbHandlet0" : "pbContext" + std::to_string(i);
    handle.push_back(static_cast<uint8_t>(std::atoi(Value(reply, key).c_str())));
  }
  return handle;
}

Json KeysS(const Bytes& handle) {
  return HandleKeys(handle, kKeysS);
}

Json KeysW(const Bytes& handle) {
  return HandleKeys(handle, kKeysW);
}

Json With(Json request, const Json& keys) {
  for (auto it = keys.begin(); it != keys.end(); ++it) request[it.key()] = it.value();
  return request;
}

Bytes MultiString(const std::vector<std::string>& names) {
  Bytes bytes;
  for (const std::string& name : names) {
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.push_back(0);
  }
  bytes.push_back(0);
  return bytes;
}

Bytes TextBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Members Head(const std::string& id, const std::string& call, uint32_t result,
             const std::string& echo) {
  return Members{{"i", id}, {call, StatusText(result)}, {"resp", echo}};
}

Members Concat(Members head, const Members& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

Connected EstablishAndConnect(Host& host, const std::string& reader, uint32_t share) {
  Connected connected;
  const Members established = Ask(host, Json{{"c", 114}, {"p", 2}});
  EXPECT_EQ(Value(established, "SCardEstablishContext"), "0");
  connected.context = HandleBytes(established);
  const Members reply = Ask(
      host, With(Json{{"c", 109}, {"g", reader}, {"q", share}, {"b", kProtocolT0 | kProtocolT1}},
                 KeysW(connected.context)));
  EXPECT_EQ(Value(reply, "SCardConnectA"), "0") << "connecting to " << reader;
  connected.card = HandleBytes(reply);
  connected.protocol = static_cast<uint32_t>(std::atoi(Value(reply, "dwActiveProtocol").c_str()));
  return connected;
}

Json TransmitRequest(const Bytes& card, uint32_t protocol, const Bytes& apdu, uint32_t receive) {
  const Bytes pci = {static_cast<uint8_t>(protocol), 0, 0, 0, 8, 0, 0, 0};
  return With(Json{{"c", 169},
                   {"w", ByteList(pci)},
                   {"n", 8},
                   {"g", ByteList(apdu)},
                   {"q", apdu.size()},
                   {"m", ByteList(pci)},
                   {"d", 8},
                   {"f", receive},
                   {"t", 0}},
              KeysS(card));
}

}  // namespace rig
