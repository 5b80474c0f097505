// Bytes as the host's Byte lists ("0,164,4,0") and as hex ("00A40400"), for tessera-talk and the
// test rig. Readers of replies, not the host's own parser: a piece is read as atoi reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bytetext {

using Bytes = std::vector<uint8_t>;

// Decimal bytes joined by commas; the empty text for no bytes.
std::string ByteList(const Bytes& bytes);
// Each comma-separated piece read as atoi reads it, reduced to its low 8 bits. "NULL" (no buffer)
// and the empty text give no bytes.
Bytes ParseByteList(const std::string& text);

// Upper-case hex digits, two per byte, nothing between them.
std::string ToHex(const Bytes& bytes);
// Pairs of hex digits, either case; blanks, tabs, ':' and '-' between them are skipped. False for
// any other character or an odd number of digits.
bool FromHex(const std::string& text, Bytes& bytes);

}  // namespace bytetext
