#include "vpcd_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace vcard {
namespace {

bool ReadExactly(int fd, uint8_t* data, size_t size, bool* closed) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n == 0) {
      *closed = true;
      return false;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      *closed = errno == ECONNRESET;
      return false;
    }
    done += static_cast<size_t>(n);
    // The kernel falls back to delayed ACKs after each read; vpcd then waits about 40 ms for
    // the ACK before it sends the next command. Quick ACKs again, every time.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int ConnectToReader(const std::string& host, int port, int timeoutMs) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    ::close(fd);
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ReadResult ReadMessage(int fd, Bytes& payload) {
  uint8_t header[2];
  bool closed = false;
  if (!ReadExactly(fd, header, sizeof header, &closed)) {
    return closed ? ReadResult::kClosed : ReadResult::kError;
  }
  payload.assign(size_t{header[0]} << 8 | header[1], 0);
  if (!payload.empty() && !ReadExactly(fd, payload.data(), payload.size(), &closed)) {
    return closed ? ReadResult::kClosed : ReadResult::kError;
  }
  return ReadResult::kMessage;
}

bool WriteMessage(int fd, const Bytes& payload) {
  if (payload.size() > kMaxMessage) return false;
  Bytes message(2 + payload.size());
  message[0] = static_cast<uint8_t>(payload.size() >> 8);
  message[1] = static_cast<uint8_t>(payload.size());
  std::copy(payload.begin(), payload.end(), message.begin() + 2);
  return WriteAll(fd, message.data(), message.size());
}

}  // namespace vcard
