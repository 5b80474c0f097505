#include "card_session.h"

#include <chrono>
#include <thread>

namespace vcard {
namespace {

void Wait(int ms, const std::atomic<bool>* stop) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (stop != nullptr && stop->load()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

ServeResult ServeOneMessage(int fd, const CardBehaviour& behaviour, Exchange& seen,
                            const std::atomic<bool>* stop,
                            const std::function<void(const Exchange&)>& beforeAnswer) {
  seen = Exchange{};
  Bytes message;
  switch (ReadMessage(fd, message)) {
    case ReadResult::kClosed:
      return ServeResult::kClosed;
    case ReadResult::kError:
      return ServeResult::kError;
    case ReadResult::kMessage:
      break;
  }
  if (message.size() == 1) {
    seen.control = true;
    seen.code = message[0];
    if (seen.code != kGetAtr) {
      if (beforeAnswer) beforeAnswer(seen);
      return ServeResult::kServed;
    }
    seen.response = behaviour.atr;
  } else {
    seen.command = message;
    Answer answer = AnswerApdu(behaviour, message);
    if (answer.delayMs > 0) Wait(answer.delayMs, stop);
    seen.response = std::move(answer.response);
  }
  if (beforeAnswer) beforeAnswer(seen);
  return WriteMessage(fd, seen.response) ? ServeResult::kServed : ServeResult::kError;
}

std::string Describe(const Exchange& exchange) {
  if (exchange.control) {
    switch (exchange.code) {
      case kPowerOff:
        return "power off";
      case kPowerOn:
        return "power on";
      case kReset:
        return "reset";
      case kGetAtr:
        return "get ATR -> " + ToHex(exchange.response);
      default:
        return "control " + std::to_string(exchange.code);
    }
  }
  auto shortHex = [](const Bytes& bytes) {
    if (bytes.size() <= 40) return ToHex(bytes);
    return ToHex(Bytes(bytes.begin(), bytes.begin() + 16)) + "...(" + std::to_string(bytes.size()) +
           " bytes)";
  };
  return "APDU " + shortHex(exchange.command) + " -> " + shortHex(exchange.response);
}

}  // namespace vcard
