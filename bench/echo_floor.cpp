// The floor that whole-process benchmarks compare the host with: a program that reads frames
// as the host does (4-byte little-endian length, then the body, through a 64 KiB stdio buffer)
// and answers each with one fixed reply frame, flushed. It parses nothing and calls nothing.
// Usage: tessera-bench-echo [reply body bytes], default 64.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  const size_t replySize = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  // A JSON object of the asked size: {"r":"000..."}
  std::string reply = "{\"r\":\"";
  reply.resize(replySize > 8 ? replySize - 2 : reply.size(), '0');
  reply += "\"}";
  std::string frame(4, '\0');
  for (size_t i = 0; i < 4; ++i) frame[i] = static_cast<char>((reply.size() >> (8 * i)) & 0xFF);
  frame += reply;

  static char inBuffer[64 * 1024];
  std::setvbuf(stdin, inBuffer, _IOFBF, sizeof inBuffer);
  std::vector<char> body;
  unsigned char prefix[4];
  while (std::fread(prefix, 1, 4, stdin) == 4) {
    const uint32_t length =
        prefix[0] | prefix[1] << 8 | prefix[2] << 16 | static_cast<uint32_t>(prefix[3]) << 24;
    if (length == 0xFFFFFFFFu) break;
    body.resize(length);
    if (std::fread(body.data(), 1, length, stdin) != length) break;
    std::fwrite(frame.data(), 1, frame.size(), stdout);
    if (std::fflush(stdout) != 0) break;
  }
  return 0;
}
