#include "card_runner.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace vcard {
namespace {

void Serve(int fd, std::shared_ptr<CardState> state) {
  while (!state->stop.load()) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 50);
    if (ready == 0) continue;
    if (ready < 0) break;
    CardBehaviour behaviour;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      behaviour = state->behaviour;
    }
    Exchange seen;
    const auto record = [&state](const Exchange& exchange) {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->exchanges.push_back(exchange);
    };
    if (ServeOneMessage(fd, behaviour, seen, &state->stop, record) != ServeResult::kServed) break;
  }
  state->connected = false;
}

std::string EnvOr(const std::string& name, const std::string& fallback) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

InsertedCard::~InsertedCard() {
  RemoveCard(*this);
}

bool InsertCard(InsertedCard& card, const std::string& host, int port, CardBehaviour behaviour,
                int timeoutMs) {
  RemoveCard(card);
  const int fd = ConnectToReader(host, port, timeoutMs);
  if (fd < 0) return false;
  card.fd = fd;
  card.state = std::make_shared<CardState>();
  card.state->behaviour = std::move(behaviour);
  card.state->connected = true;
  card.server = std::thread(Serve, fd, card.state);
  return true;
}

void RemoveCard(InsertedCard& card) {
  if (card.state) card.state->stop = true;
  if (card.fd >= 0) ::shutdown(card.fd, SHUT_RDWR);
  if (card.server.joinable()) card.server.join();
  if (card.fd >= 0) ::close(card.fd);
  card.fd = -1;
}

bool IsConnected(const InsertedCard& card) {
  return card.state && card.state->connected.load() && !card.state->stop.load();
}

void SetBehaviour(InsertedCard& card, CardBehaviour behaviour) {
  std::lock_guard<std::mutex> lock(card.state->mutex);
  card.state->behaviour = std::move(behaviour);
}

std::vector<Exchange> Exchanges(const InsertedCard& card) {
  if (!card.state) return {};
  std::lock_guard<std::mutex> lock(card.state->mutex);
  return card.state->exchanges;
}

void ClearExchanges(InsertedCard& card) {
  std::lock_guard<std::mutex> lock(card.state->mutex);
  card.state->exchanges.clear();
}

int RigPort(int reader) {
  return std::atoi(
      EnvOr("TESSERA_VPCD_PORT_" + std::to_string(reader), std::to_string(40000 + reader)).c_str());
}

std::string RigReader(int reader) {
  return EnvOr("TESSERA_READER_" + std::to_string(reader),
               "Tessera Reader 00 0" + std::to_string(reader));
}

std::string RigHost() {
  return EnvOr("TESSERA_VPCD_HOST", "127.0.0.1");
}

}  // namespace vcard
