#include "host/encodings.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace host {
namespace {

// Decimal texts of 0..255, each with its comma, built once, so a Byte list costs one four-byte
// copy per byte.
struct ByteTexts {
  char text[256][4];
  uint8_t length[256];
  ByteTexts() {
    for (int v = 0; v < 256; ++v) {
      char digits[4];
      int n = 0;
      int rest = v;
      do {
        digits[n++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
      } while (rest != 0);
      for (int i = 0; i < n; ++i) text[v][i] = digits[n - 1 - i];
      text[v][n] = ',';
      length[v] = static_cast<uint8_t>(n + 1);
    }
  }
};

const ByteTexts& Texts() {
  static const ByteTexts texts;
  return texts;
}

void AppendUnsigned(std::string& out, uint64_t value) {
  char digits[20];
  size_t start = sizeof digits;
  do {
    digits[--start] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  out.append(digits + start, sizeof digits - start);
}

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

#if defined(__SSE2__)
// The piece of one to three digits that ends just before the comma at p + pos: the four bytes
// before the comma, masked so that only the piece's digits remain, the last of them in the top
// byte. One multiplication sums them by their weights 100, 10 and 1 into that byte, which keeps
// the low 8 bits as the cell does.
inline uint8_t ShortPiece(const char* p, unsigned pos, unsigned len) {
  uint32_t word;
  std::memcpy(&word, p + pos - 4, 4);
  const uint32_t piece = ~0u << (32 - 8 * len);
  const uint32_t d = (word & piece) - (0x30303030u & piece);
  return static_cast<uint8_t>((d * 0x640A01u) >> 24);
}

// Pieces of one to three digits, sixteen bytes at a time: a block in which every byte is a digit
// or a comma has its commas found at once. Four such pieces always fit in a block, so the common
// case reads exactly four, without a branch that depends on the data; other blocks go piece by
// piece. Stops at a block with any other byte, at a piece of more than three digits, and within
// 16 bytes of the end; p is then at the start of a piece. Needs three readable bytes before p.
size_t FastPieces(const char*& p, const char* end, uint8_t* out, size_t k, size_t n) {
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i toSigned = _mm_set1_epi8(static_cast<char>(0x80 - '0'));
  const __m128i signedTen = _mm_set1_epi8(static_cast<char>(-128 + 10));
  while (k < n && end - p >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned commas = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, comma)));
    const unsigned digits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmplt_epi8(_mm_add_epi8(block, toSigned), signedTen)));
    if ((commas | digits) != 0xFFFF) return k;
    const unsigned m1 = commas & (commas - 1);
    const unsigned m2 = m1 & (m1 - 1);
    const unsigned m3 = m2 & (m2 - 1);
    const unsigned pos1 = static_cast<unsigned>(__builtin_ctz(commas | 0x10000));
    const unsigned pos2 = static_cast<unsigned>(__builtin_ctz(m1 | 0x10000));
    const unsigned pos3 = static_cast<unsigned>(__builtin_ctz(m2 | 0x10000));
    const unsigned pos4 = static_cast<unsigned>(__builtin_ctz(m3 | 0x10000));
    const unsigned len1 = pos1, len2 = pos2 - pos1 - 1, len3 = pos3 - pos2 - 1,
                   len4 = pos4 - pos3 - 1;
    if (pos4 < 16 && n - k >= 4 && len1 - 1 < 3 && len2 - 1 < 3 && len3 - 1 < 3 && len4 - 1 < 3) {
      out[k] = ShortPiece(p, pos1, len1);
      out[k + 1] = ShortPiece(p, pos2, len2);
      out[k + 2] = ShortPiece(p, pos3, len3);
      out[k + 3] = ShortPiece(p, pos4, len4);
      k += 4;
      p += pos4 + 1;
      continue;
    }
    unsigned last = 0;  // where the current piece starts in the block
    for (unsigned m = commas; m != 0; m &= m - 1) {
      const unsigned pos = static_cast<unsigned>(__builtin_ctz(m));
      const unsigned len = pos - last;
      if (len > 3) {
        p += last;
        return k;
      }
      if (len != 0) {
        out[k++] = ShortPiece(p, pos, len);
        if (k == n) {
          p += pos + 1;
          return k;
        }
      }
      last = pos + 1;
    }
    if (last == 0) return k;  // sixteen digits: one long piece
    p += last;
  }
  return k;
}
#endif

}  // namespace

void AppendStatusText(std::string& out, int32_t value) {
  if (value < 0) {
    out.push_back('-');
    AppendUnsigned(out, static_cast<uint64_t>(-static_cast<int64_t>(value)));
  } else {
    AppendUnsigned(out, static_cast<uint64_t>(value));
  }
}

void AppendNumberText(std::string& out, uint32_t value) {
  AppendUnsigned(out, value);
}

bool AppendByteList(std::string& out, const uint8_t* bytes, int64_t length) {
  if (bytes == nullptr || length <= 0) return false;
  const ByteTexts& texts = Texts();
  const size_t n = static_cast<size_t>(length);
  // A piece at a time, so that the room resize fills with zeros is still in the cache when the
  // texts overwrite it; a 64 KiB buffer would otherwise have its 256 KiB of room zeroed first.
  constexpr size_t kPiece = 1024;
  for (size_t first = 0; first < n; first += kPiece) {
    const size_t count = std::min(kPiece, n - first);
    const size_t start = out.size();
    out.resize(start + 4 * count);  // the longest text: three digits and a comma per byte
    char* p = &out[start];
    for (size_t i = first; i < first + count; ++i) {
      const uint8_t b = bytes[i];
      std::memcpy(p, texts.text[b], 4);
      p += texts.length[b];
    }
    out.resize(static_cast<size_t>(p - out.data()));
  }
  out.pop_back();  // the last comma
  return true;
}

// atoi's reading: leading white space, an optional sign, then decimal digits up to the first
// other character. Out-of-range values saturate as strtol does on a 64-bit long, so the result
// is the same on every platform.
uint8_t PieceByte(std::string_view piece) {
  size_t i = 0;
  while (i < piece.size() && IsSpace(piece[i])) ++i;
  bool negative = false;
  if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) {
    negative = piece[i] == '-';
    ++i;
  }
  uint64_t magnitude = 0;
  bool saturated = false;
  constexpr uint64_t kLimit = uint64_t{1} << 63;  // |LONG_MIN|; LONG_MAX is one less
  for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
    if (saturated) continue;
    if (magnitude > kLimit / 10) {
      saturated = true;
      continue;
    }
    magnitude = magnitude * 10 + static_cast<uint64_t>(piece[i] - '0');
    if (magnitude > kLimit) saturated = true;
  }
  if (saturated || (!negative && magnitude == kLimit)) magnitude = negative ? kLimit : kLimit - 1;
  const uint64_t value = negative ? (~magnitude + 1) : magnitude;
  return static_cast<uint8_t>(value & 0xFF);
}

ByteBuffer ByteListInput(const std::string* text, int64_t length) {
  if (text == nullptr || length <= 0) return ByteBuffer{};
  ByteBuffer buffer = AllocateZeroed(static_cast<size_t>(length));
  if (!buffer.data) return buffer;
  const char* const start = text->data();
  const char* p = start;
  const char* const end = p + text->size();
  size_t k = 0;
  while (k < buffer.size && p < end) {
#if defined(__SSE2__)
    if (p - start >= 3) {
      k = FastPieces(p, end, buffer.data.get(), k, buffer.size);
      if (k == buffer.size || p == end) break;
    }
#endif
    if (*p == ',') {  // an empty piece gives nothing
      ++p;
      continue;
    }
    // Nearly every piece is one to three digits and a comma. Reading four bytes at once and
    // picking the value by the digit count keeps the loop free of branches that card data,
    // with its random number of digits, would mispredict.
    if (end - p >= 4) {
      const unsigned d0 = static_cast<unsigned char>(p[0] - '0');
      const unsigned d1 = static_cast<unsigned char>(p[1] - '0');
      const unsigned d2 = static_cast<unsigned char>(p[2] - '0');
      const unsigned d3 = static_cast<unsigned char>(p[3] - '0');
      const unsigned run0 = d0 < 10;
      const unsigned run1 = run0 & (d1 < 10);
      const unsigned run2 = run1 & (d2 < 10);
      const unsigned digits = run0 + run1 + run2 + (run2 & (d3 < 10));
      const unsigned values[5] = {0, d0, d0 * 10 + d1, d0 * 100 + d1 * 10 + d2, 0};
      if (digits - 1 < 3 && p[digits] == ',') {
        buffer.data[k++] = static_cast<uint8_t>(values[digits]);
        p += digits + 1;
        continue;
      }
    }
    // The last piece, and pieces with signs, blanks, letters or more digits: the same rules
    // as a loop, or atoi's full rules.
    unsigned value = 0;
    const char* q = p;
    while (q < end && q - p < 4 && *q >= '0' && *q <= '9') {
      value = value * 10 + static_cast<unsigned>(*q - '0');
      ++q;
    }
    if (q > p && q - p < 4 && (q == end || *q == ',')) {
      buffer.data[k++] = static_cast<uint8_t>(value);
      p = q;
      continue;
    }
    const void* comma = std::memchr(p, ',', static_cast<size_t>(end - p));
    const char* pieceEnd = comma != nullptr ? static_cast<const char*>(comma) : end;
    buffer.data[k++] = PieceByte(std::string_view(p, static_cast<size_t>(pieceEnd - p)));
    p = pieceEnd;
  }
  return buffer;
}

}  // namespace host
