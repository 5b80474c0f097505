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

// Bytes that in has read ahead and not handed out yet: taking them never waits. Only glibc's
// streams show them; elsewhere every read counts as one that may wait.
size_t ReadAhead(std::FILE* in) {
#ifdef __GLIBC__
  return static_cast<size_t>(in->_IO_read_end - in->_IO_read_ptr);
#else
  (void)in;
  return 0;
#endif
}

// Reads size bytes, first sending the held replies when they are not all read ahead yet.
bool ReadBytes(std::FILE* in, void* to, size_t size, std::FILE* held) {
  if (ReadAhead(in) < size && !SendHeldReplies(held)) return false;
  return std::fread(to, 1, size, in) == size;
}

}  // namespace

FrameStatus ReadFrame(std::FILE* in, std::string& storage, size_t& length, std::FILE* held) {
  length = 0;
  unsigned char prefix[4];
  if (!ReadBytes(in, prefix, sizeof prefix, held)) return FrameStatus::kEnd;
  const uint32_t announced =
      static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
      static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
  if (announced == kEndOfInputLength) return FrameStatus::kEnd;
  size_t remaining = announced;
  while (remaining > 0) {
    const size_t step = std::min(remaining, kReadChunk);
    if (storage.size() < length + step) storage.resize(length + step);
    if (!ReadBytes(in, &storage[length], step, held)) return FrameStatus::kEnd;
    length += step;
    remaining -= step;
  }
  return FrameStatus::kFrame;
}

bool WriteFrame(std::FILE* out, std::string& frame) {
  const size_t n = frame.size() - kFramePrefixSize;
  for (size_t i = 0; i < kFramePrefixSize; ++i) {
    frame[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  }
  return std::fwrite(frame.data(), 1, frame.size(), out) == frame.size();
}

bool SendHeldReplies(std::FILE* out) {
  return std::fflush(out) == 0;
}

void UseBinaryStdio() {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace host
