// A virtual card for vpcd: connects to the reader's TCP port, which inserts it, answers power and
// ATR messages and answers every APDU with 90 00. Ends when the reader closes the connection or
// after the given number of seconds.
// Usage: tessera-bench-vcard PORT [SECONDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr uint8_t kAtr[] = {0x3B, 0x8A, 0x80, 0x01, 0x54, 0x65, 0x73, 0x73, 0x65,
                            0x72, 0x61, 0x42, 0x65, 0x6E, 0x63, 0x68, 0x3C};

bool ReadExactly(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t got = read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool Send(int fd, const uint8_t* payload, size_t n) {
  std::vector<uint8_t> message = {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)};
  message.insert(message.end(), payload, payload + n);
  return write(fd, message.data(), message.size()) == static_cast<ssize_t>(message.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PORT [SECONDS]\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 600;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int fd = -1;
  // The reader listens only once pcscd has loaded the driver.
  while (fd < 0 && std::chrono::steady_clock::now() < deadline) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      fd = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  if (fd < 0) return 1;
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0) continue;
    uint8_t header[2];
    if (!ReadExactly(fd, header, 2)) break;
    std::vector<uint8_t> payload(size_t{header[0]} << 8 | header[1]);
    if (!ReadExactly(fd, payload.data(), payload.size())) break;
    if (payload.size() == 1) {
      // 0 power off, 1 power on, 2 reset: no answer; 4: the ATR.
      if (payload[0] == 4 && !Send(fd, kAtr, sizeof kAtr)) break;
      continue;
    }
    const uint8_t ok[] = {0x90, 0x00};
    if (!Send(fd, ok, sizeof ok)) break;
  }
  close(fd);
  return 0;
}
