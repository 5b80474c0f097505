#include "host/framing.h"

#include <algorithm>
#include <cstdint>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace host {
namespace {

constexpr uint32_t kEndOfInputLength = 0xFFFFFFFFu;
// Body bytes read per step; the body never grows ahead of the bytes that actually arrived.
constexpr size_t kReadChunk = 64 * 1024;

}  // namespace

FrameStatus ReadFrame(std::FILE* in, std::string& body) {
  body.clear();
  unsigned char prefix[4];
  if (std::fread(prefix, 1, sizeof prefix, in) != sizeof prefix) return FrameStatus::kEnd;
  const uint32_t length = static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
                          static_cast<uint32_t>(prefix[2]) << 16 |
                          static_cast<uint32_t>(prefix[3]) << 24;
  if (length == kEndOfInputLength) return FrameStatus::kEnd;
  size_t remaining = length;
  while (remaining > 0) {
    const size_t step = std::min(remaining, kReadChunk);
    const size_t start = body.size();
    body.resize(start + step);
    const size_t got = std::fread(&body[start], 1, step, in);
    if (got != step) return FrameStatus::kEnd;
    remaining -= step;
  }
  return FrameStatus::kFrame;
}

bool WriteFrame(std::FILE* out, std::string& frame) {
  const size_t n = frame.size() - kFramePrefixSize;
  for (size_t i = 0; i < kFramePrefixSize; ++i) {
    frame[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  }
  const bool written = std::fwrite(frame.data(), 1, frame.size(), out) == frame.size();
  return std::fflush(out) == 0 && written;
}

void UseBinaryStdio() {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace host
