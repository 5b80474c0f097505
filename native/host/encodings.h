// The text forms of values in replies and the Byte list form of buffers in requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/buffers.h"

namespace host {

// Signed decimal of a 32-bit result code: 0x8010001D gives -2146435043.
void AppendStatusText(std::string& out, int32_t value);
// Unsigned decimal of a 32-bit value.
void AppendNumberText(std::string& out, uint32_t value);
// Decimal bytes joined by ","; appends nothing and returns false when there is no text (no
// buffer, or a length of 0 or below).
bool AppendByteList(std::string& out, const uint8_t* bytes, int64_t length);

// A buffer of exactly length bytes, zero-filled, then byte k set from the k-th non-empty
// comma-separated piece read as atoi reads it. No buffer for no text, a length of 0 or below,
// or a length the host will not allocate (see buffers.h).
ByteBuffer ByteListInput(const std::string* text, int64_t length);

// The atoi value of one piece, reduced to its low 8 bits.
uint8_t PieceByte(std::string_view piece);

}  // namespace host
