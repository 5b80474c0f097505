#include "card_behaviour.h"

#include <algorithm>
#include <cstdlib>
#include <random>

namespace vcard {

const Bytes kDefaultAtr = {0x3B, 0x8A, 0x80, 0x01, 0x54, 0x45, 0x53, 0x53,
                           0x45, 0x52, 0x41, 0x2D, 0x56, 0x43, 0x74};

namespace {

constexpr uint8_t kInsSelect = 0xA4;
constexpr uint8_t kInsReadBinary = 0xB0;
constexpr uint8_t kInsGetChallenge = 0x84;
const Bytes kOk = {0x90, 0x00};
const Bytes kUnknownInstruction = {0x6D, 0x00};

Bytes WithStatus(Bytes data) {
  data.insert(data.end(), kOk.begin(), kOk.end());
  return data;
}

bool Matches(const Rule& rule, const Bytes& apdu) {
  if (rule.prefix) {
    return apdu.size() >= rule.command.size() &&
           std::equal(rule.command.begin(), rule.command.end(), apdu.begin());
  }
  return apdu == rule.command;
}

}  // namespace

size_t ExpectedLength(const Bytes& apdu) {
  const size_t n = apdu.size();
  if (n <= 4) return 0;
  if (n == 5) return apdu[4] == 0 ? 256 : apdu[4];  // case 2 short
  if (apdu[4] == 0 && n == 7) {                     // case 2 extended
    const size_t le = size_t{apdu[5]} << 8 | apdu[6];
    return le == 0 ? 65536 : le;
  }
  if (apdu[4] != 0) {  // short Lc: case 3 or, with one more byte, case 4
    const size_t lc = apdu[4];
    if (n == 5 + lc + 1) return apdu[n - 1] == 0 ? 256 : apdu[n - 1];
    return 0;
  }
  if (n >= 7) {  // extended Lc: case 3 or, with two more bytes, case 4
    const size_t lc = size_t{apdu[5]} << 8 | apdu[6];
    if (n == 7 + lc + 2) {
      const size_t le = size_t{apdu[n - 2]} << 8 | apdu[n - 1];
      return le == 0 ? 65536 : le;
    }
  }
  return 0;
}

Bytes PatternBytes(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i % 251);
  return bytes;
}

Bytes BuiltInAnswer(const Bytes& apdu) {
  if (apdu.size() < 4) return kUnknownInstruction;
  const size_t wanted = std::min(ExpectedLength(apdu), kMaxMessage - 2);
  switch (apdu[1]) {
    case kInsSelect:
      return kOk;
    case kInsReadBinary:
      return WithStatus(PatternBytes(wanted));
    case kInsGetChallenge: {
      static std::mt19937 generator{std::random_device{}()};
      Bytes challenge(wanted);
      for (uint8_t& b : challenge) b = static_cast<uint8_t>(generator());
      return WithStatus(challenge);
    }
    default:
      return kUnknownInstruction;
  }
}

Answer AnswerApdu(const CardBehaviour& behaviour, const Bytes& apdu) {
  for (const Rule& rule : behaviour.rules) {
    if (Matches(rule, apdu)) return Answer{rule.response, behaviour.delayMs + rule.delayMs};
  }
  return Answer{behaviour.builtIn ? BuiltInAnswer(apdu) : kUnknownInstruction, behaviour.delayMs};
}

bool ParseRule(const std::string& text, Rule& rule) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  std::string command = text.substr(0, equals);
  std::string response = text.substr(equals + 1);
  rule = Rule{};
  if (!command.empty() && command.back() == '*') {
    rule.prefix = true;
    command.pop_back();
  }
  const size_t at = response.find('@');
  if (at != std::string::npos) {
    char* end = nullptr;
    const long delay = std::strtol(response.c_str() + at + 1, &end, 10);
    if (*end != '\0' || delay < 0) return false;
    rule.delayMs = static_cast<int>(delay);
    response.resize(at);
  }
  return FromHex(command, rule.command) && FromHex(response, rule.response) &&
         rule.response.size() <= kMaxMessage;
}

}  // namespace vcard
