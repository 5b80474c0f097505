// One virtual card's side of a vpcd connection: reads a message from the reader and answers it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "card_behaviour.h"

namespace vcard {

// What the reader sent and what the card answered, for tests and logs.
struct Exchange {
  bool control = false;  // a control message (power off/on, reset, get ATR)
  uint8_t code = 0;      // its code
  Bytes command;         // the APDU, for an APDU
  Bytes response;        // what the card sent back (the ATR for get ATR; none for power/reset)
};

enum class ServeResult { kServed, kClosed, kError };

// Reads and answers one message. A delay is cut short when stop becomes true. beforeAnswer, if
// given, sees the exchange before the answer leaves, so that whoever waits for the answer finds
// the exchange already recorded.
ServeResult ServeOneMessage(int fd, const CardBehaviour& behaviour, Exchange& seen,
                            const std::atomic<bool>* stop = nullptr,
                            const std::function<void(const Exchange&)>& beforeAnswer = nullptr);

// "power on", "get ATR", "APDU 00A40400 -> 9000" and the like.
std::string Describe(const Exchange& exchange);

}  // namespace vcard
