// Buffers that a handler makes for one request. Sizes come from the client, so every allocation
// goes through one zeroing allocator that touches no memory itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace host {

// The most bytes of one buffer that a reply lists. Far above anything a smart-card service
// returns (extended APDUs and reader control answers stay below 70 KiB); it keeps a service or a
// client that claims gigabytes from making the host read and format them.
constexpr size_t kMaxListedBytes = 16u * 1024 * 1024;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

struct ByteBuffer {
  std::unique_ptr<uint8_t[], FreeDeleter> data;
  size_t size = 0;
};

// Exactly size zero-filled bytes, or no data when size is 0 or memory is really exhausted.
// calloc takes large blocks straight from the system as zero pages that are mapped only when
// written, so a buffer of gigabytes costs memory only where the service writes.
inline ByteBuffer AllocateZeroed(size_t size) {
  ByteBuffer buffer;
  if (size == 0) return buffer;
  buffer.data.reset(static_cast<uint8_t*>(std::calloc(size, 1)));
  if (buffer.data) buffer.size = size;
  return buffer;
}

// How many of the reported bytes a reply lists from buffer: never past its end, never more than
// kMaxListedBytes.
inline int64_t ListedBytes(uint64_t reported, const ByteBuffer& buffer) {
  return static_cast<int64_t>(std::min<uint64_t>({reported, buffer.size, kMaxListedBytes}));
}

}  // namespace host
