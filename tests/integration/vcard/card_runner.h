// A virtual card served on its own thread, for tests: insert it into a vpcd reader (connect),
// change what it answers while it is in, see what the reader sent, and remove it (disconnect).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "card_session.h"

namespace vcard {

// Shared between the test and the card's thread.
struct CardState {
  std::mutex mutex;
  CardBehaviour behaviour;
  std::vector<Exchange> exchanges;
  std::atomic<bool> stop{false};
  std::atomic<bool> connected{false};
};

// A card in one reader. Removing it (or letting it go out of scope) drops the connection.
struct InsertedCard {
  int fd = -1;
  std::shared_ptr<CardState> state;
  std::thread server;

  InsertedCard() = default;
  InsertedCard(const InsertedCard&) = delete;
  InsertedCard& operator=(const InsertedCard&) = delete;
  ~InsertedCard();
};

// Connects to the reader at host:port (waiting up to timeoutMs for it) and serves it until
// removed. False when the reader could not be reached.
bool InsertCard(InsertedCard& card, const std::string& host, int port, CardBehaviour behaviour,
                int timeoutMs = 5000);
// Closes the connection and waits for the card's thread; safe to call twice.
void RemoveCard(InsertedCard& card);
// True while the reader keeps the connection open.
bool IsConnected(const InsertedCard& card);

void SetBehaviour(InsertedCard& card, CardBehaviour behaviour);
std::vector<Exchange> Exchanges(const InsertedCard& card);
void ClearExchanges(InsertedCard& card);

// The rig's reader ports and names (TESSERA_VPCD_PORT_n, TESSERA_READER_n, TESSERA_VPCD_HOST).
int RigPort(int reader);
std::string RigReader(int reader);
std::string RigHost();

}  // namespace vcard
