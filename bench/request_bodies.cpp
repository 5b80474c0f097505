#include "request_bodies.h"

namespace bench {
namespace {

const char kEnvelope[] = R"({"i":"17","r":0,"e":"",)";

// "p":8 and the eight one-byte keys of handle, byte 0 first.
std::string HandleKeys(uint64_t handle, const char* const keys[8]) {
  std::string text = R"("p":8)";
  for (int k = 0; k < 8; ++k) {
    text += ",\"";
    text += keys[k];
    text += "\":" + std::to_string((handle >> (8 * k)) & 0xFF);
  }
  return text;
}

const char* const kKeysS[8] = {"x", "y", "z", "s", "l", "b", "h", "j"};
const char* const kKeysW[8] = {"x", "y", "z", "w", "m", "s", "t", "k"};

}  // namespace

std::vector<uint8_t> CardBytes(size_t n) {
  std::vector<uint8_t> bytes(n);
  uint32_t state = 0x2545F491u;  // xorshift: fixed, so every run sends the same bytes
  for (uint8_t& b : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

std::string ByteListText(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) text += ',';
    text += std::to_string(bytes[i]);
  }
  return text;
}

std::string StartedEventBody() {
  return R"({"i":"1","c":103})";
}

std::string EstablishContextBody() {
  return R"({"i":"1","c":114,"p":2})";
}

std::string ConnectBody(uint64_t context, const std::string& reader) {
  return std::string(kEnvelope) + R"("c":109,)" + HandleKeys(context, kKeysW) + R"(,"g":")" +
         reader + R"(","q":2,"b":3})";
}

std::string TransmitBody(uint64_t card, const std::vector<uint8_t>& apdu, uint32_t recvLength,
                         uint32_t protocol) {
  return std::string(kEnvelope) + R"("c":169,)" + HandleKeys(card, kKeysS) + R"(,"w":")" +
         std::to_string(protocol) + R"(,0,0,0,8,0,0,0","n":8,"g":")" + ByteListText(apdu) +
         R"(","q":)" + std::to_string(apdu.size()) + R"(,"m":"NULL","d":0,"f":)" +
         std::to_string(recvLength) + R"(,"t":0})";
}

std::vector<uint8_t> ShortApdu() {
  return {0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x10, 0x00};
}

std::string ListReadersBody(uint64_t context) {
  return std::string(kEnvelope) + R"("c":149,)" + HandleKeys(context, kKeysS) +
         R"(,"m":"","k":0,"t":0})";
}

std::string StatusBody(uint64_t card) {
  return std::string(kEnvelope) + R"("c":167,)" + HandleKeys(card, kKeysS) + R"(,"w":-1,"g":32})";
}

}  // namespace bench
