// Byte list input and output against a plain reading of their rules: pieces split at commas,
// empty pieces skipped, each piece read as strtol reads it and cut to its low 8 bits; output
// and input must round-trip.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "host/encodings.h"

namespace {

// atoi's value on a 64-bit long, computed with strtol on a private copy; the piece ends at its
// first NUL as a C string would.
uint8_t ReferencePiece(const std::string& piece) {
  const std::string copy(piece.c_str());
  errno = 0;
  const long value = std::strtol(copy.c_str(), nullptr, 10);
  return static_cast<uint8_t>(static_cast<unsigned long>(value) & 0xFF);
}

std::vector<uint8_t> ReferenceInput(const std::string& text, size_t length) {
  std::vector<uint8_t> bytes(length, 0);
  size_t k = 0;
  size_t pos = 0;
  while (k < length && pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    if (comma > pos) bytes[k++] = ReferencePiece(text.substr(pos, comma - pos));
    pos = comma + 1;
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes give a signed length around the text's size, negative ones included.
  const int64_t length = static_cast<int16_t>(data[0] | data[1] << 8) % 1024;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  const host::ByteBuffer buffer = host::ByteListInput(&text, length);
  if (length <= 0) {
    if (buffer.data || buffer.size != 0) fuzz::Fail("a buffer for a length of 0 or below");
  } else {
    if (!buffer.data || buffer.size != static_cast<size_t>(length)) fuzz::Fail("wrong size");
    // Pieces holding a NUL are read up to it by both; the reference sees the same pieces.
    const std::vector<uint8_t> expected = ReferenceInput(text, buffer.size);
    for (size_t i = 0; i < buffer.size; ++i) {
      if (buffer.data[i] != expected[i]) fuzz::Fail("Byte list input differs from atoi");
    }
  }
  if (host::ByteListInput(nullptr, length).data) fuzz::Fail("a buffer from no text");

  // Output of the raw input bytes, then read back.
  const uint8_t* raw = data + 2;
  const int64_t n = static_cast<int64_t>(size - 2);
  std::string out = "x";
  const bool listed = host::AppendByteList(out, raw, n);
  if (listed != (n > 0)) fuzz::Fail("Byte list output presence");
  if (!listed) {
    if (out != "x") fuzz::Fail("no text, yet something appended");
    if (host::AppendByteList(out, raw, -n - 1) || out != "x") fuzz::Fail("negative length");
    return 0;
  }
  const std::string list = out.substr(1);
  if (list.size() > static_cast<size_t>(4 * n - 1)) fuzz::Fail("Byte list longer than 4n-1");
  if (list.front() == ',' || list.back() == ',') fuzz::Fail("stray comma");
  for (const char c : list) {
    if (c != ',' && (c < '0' || c > '9')) fuzz::Fail("Byte list holds other characters");
  }
  const host::ByteBuffer back = host::ByteListInput(&list, n);
  if (!back.data || back.size != static_cast<size_t>(n)) fuzz::Fail("round trip size");
  for (int64_t i = 0; i < n; ++i) {
    if (back.data[i] != raw[i]) fuzz::Fail("round trip bytes");
  }
  return 0;
}
