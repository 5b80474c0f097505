// The floor that whole-process benchmarks compare the host with: a program that reads frames
// as the host does (4-byte little-endian length, then the body, through a 64 KiB stdio buffer)
// and answers each with one fixed reply frame, flushed. It parses nothing and calls nothing.
// Usage: tessera-bench-echo [reply body bytes [hold]], default 64. With "hold" the replies are
// flushed as the host flushes them: only before a read that may wait, so replies to frames that
// arrived together leave in one write (glibc only; elsewhere every read counts as one that may
// wait).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Bytes that in has read ahead and not handed out yet.
size_t ReadAhead(std::FILE* in) {
#ifdef __GLIBC__
  return static_cast<size_t>(in->_IO_read_end - in->_IO_read_ptr);
#else
  (void)in;
  return 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const size_t replySize = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const bool hold = argc > 2 && std::strcmp(argv[2], "hold") == 0;
  // A JSON object of the asked size: {"r":"000..."}
  std::string reply = "{\"r\":\"";
  reply.resize(replySize > 8 ? replySize - 2 : reply.size(), '0');
  reply += "\"}";
  std::string frame(4, '\0');
  for (size_t i = 0; i < 4; ++i) frame[i] = static_cast<char>((reply.size() >> (8 * i)) & 0xFF);
  frame += reply;

  static char inBuffer[64 * 1024];
  std::setvbuf(stdin, inBuffer, _IOFBF, sizeof inBuffer);
  static char outBuffer[16 * 1024];  // the host's
  if (hold) std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  std::vector<char> body;
  unsigned char prefix[4];
  for (;;) {
    if (hold && ReadAhead(stdin) < 4 && std::fflush(stdout) != 0) break;
    if (std::fread(prefix, 1, 4, stdin) != 4) break;
    const uint32_t length =
        prefix[0] | prefix[1] << 8 | prefix[2] << 16 | static_cast<uint32_t>(prefix[3]) << 24;
    if (length == 0xFFFFFFFFu) break;
    body.resize(length);
    if (hold && ReadAhead(stdin) < length && std::fflush(stdout) != 0) break;
    if (std::fread(body.data(), 1, length, stdin) != length) break;
    std::fwrite(frame.data(), 1, frame.size(), stdout);
    if (!hold && std::fflush(stdout) != 0) break;
  }
  std::fflush(stdout);
  return 0;
}
