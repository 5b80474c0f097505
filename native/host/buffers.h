// Buffers that a handler makes for one request. Sizes come from the client, so every allocation
// goes through one bounded, zeroing allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace host {

// Larger than any buffer a smart-card service takes or returns (extended APDUs and reader
// control answers stay below 70 KiB); a request asking for more is treated like exhausted
// memory instead of letting one message reserve gigabytes.
constexpr size_t kMaxBufferSize = 16u * 1024 * 1024;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

struct ByteBuffer {
  std::unique_ptr<uint8_t[], FreeDeleter> data;
  size_t size = 0;
};

// size zero-filled bytes, or no data when size is 0, above kMaxBufferSize, or memory is
// exhausted. calloc leaves untouched pages unmapped, so an unused tail costs no memory.
inline ByteBuffer AllocateZeroed(size_t size) {
  ByteBuffer buffer;
  if (size == 0 || size > kMaxBufferSize) return buffer;
  buffer.data.reset(static_cast<uint8_t*>(std::calloc(size, 1)));
  if (buffer.data) buffer.size = size;
  return buffer;
}

}  // namespace host
