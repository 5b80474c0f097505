// The loopback protocol between the test-only winscard.dll (inside wine) and the Linux helper that
// makes the real call on pcsc-lite. One request, one response, strictly in turn:
//   request:  u32 body length, then u32 operation and the operation's fields
//   response: u32 body length, then i32 result (a WinSCard code) and the operation's outputs
// Integers are little-endian; byte strings are a u32 length and the bytes. Every length is bounded
// so that neither side allocates what a broken peer claims.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace bridge {

// Larger than any buffer pcsc-lite accepts (MAX_BUFFER_SIZE_EXTENDED is 65548), so that pcsc-lite,
// not the bridge, decides about every length a caller can really pass.
constexpr uint32_t kMaxBuffer = 1u << 20;
constexpr uint32_t kMaxMessage = 2 * kMaxBuffer + 4096;
// pcsc-lite refuses more than 16; anything up to this bound is forwarded for it to refuse.
constexpr uint32_t kMaxReaderStates = 64;
// Wire size of a WinSCard ATR in SCARD_READERSTATEA.
constexpr size_t kWinAtrSize = 36;
// The all-ones 32-bit DWORD that WinSCard callers use for SCARD_AUTOALLOCATE.
constexpr uint32_t kWinAutoAllocate = 0xFFFFFFFFu;

enum Operation : uint32_t {
  kAccessStartedEvent = 1,
  kEstablishContext,
  kReleaseContext,
  kCancel,
  kConnect,
  kReconnect,
  kDisconnect,
  kBeginTransaction,
  kEndTransaction,
  kTransmit,
  kControl,
  kGetAttrib,
  kStatus,
  kListReaderGroups,
  kListReaders,
  kGetStatusChange,
};

inline void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void PutU64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void PutBytes(std::vector<uint8_t>& out, const void* data, size_t size) {
  PutU32(out, static_cast<uint32_t>(size));
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  out.insert(out.end(), bytes, bytes + size);
}

// A value that may be absent (a null pointer argument): a presence flag, then the value if present.
inline void PutOptionalU32(std::vector<uint8_t>& out, const void* pointer, uint32_t value) {
  PutU32(out, pointer != nullptr ? 1 : 0);
  if (pointer != nullptr) PutU32(out, value);
}

inline void PutOptionalU64(std::vector<uint8_t>& out, const void* pointer, uint64_t value) {
  PutU32(out, pointer != nullptr ? 1 : 0);
  if (pointer != nullptr) PutU64(out, value);
}

// Reads a message body front to back. A read past the end or over a bound clears ok and yields
// zeros, so a handler can read all its fields first and check ok once.
struct Cursor {
  const uint8_t* data;
  size_t size;
  size_t pos;
  bool ok;
};

inline Cursor MakeCursor(const std::vector<uint8_t>& body) {
  return Cursor{body.data(), body.size(), 0, true};
}

inline bool Take(Cursor& c, void* out, size_t n) {
  if (!c.ok || c.size - c.pos < n) {
    c.ok = false;
    std::memset(out, 0, n);
    return false;
  }
  std::memcpy(out, c.data + c.pos, n);
  c.pos += n;
  return true;
}

inline uint32_t TakeU32(Cursor& c) {
  uint8_t b[4];
  Take(c, b, sizeof b);
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{b[i]} << (8 * i);
  return v;
}

inline uint64_t TakeU64(Cursor& c) {
  uint8_t b[8];
  Take(c, b, sizeof b);
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t{b[i]} << (8 * i);
  return v;
}

inline std::vector<uint8_t> TakeBytes(Cursor& c, size_t maxSize) {
  const uint32_t n = TakeU32(c);
  if (!c.ok || n > maxSize || c.size - c.pos < n) {
    c.ok = false;
    return {};
  }
  std::vector<uint8_t> bytes(c.data + c.pos, c.data + c.pos + n);
  c.pos += n;
  return bytes;
}

// A present flag and a value; present is false for an absent value.
struct OptionalU32 {
  bool present;
  uint32_t value;
};

inline OptionalU32 TakeOptionalU32(Cursor& c) {
  OptionalU32 v{TakeU32(c) != 0, 0};
  if (v.present) v.value = TakeU32(c);
  return v;
}

struct OptionalU64 {
  bool present;
  uint64_t value;
};

inline OptionalU64 TakeOptionalU64(Cursor& c) {
  OptionalU64 v{TakeU32(c) != 0, 0};
  if (v.present) v.value = TakeU64(c);
  return v;
}

// A multi-string or string as bytes, kept as sent (terminators included).
inline std::string TakeText(Cursor& c, size_t maxSize) {
  const std::vector<uint8_t> bytes = TakeBytes(c, maxSize);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace bridge
