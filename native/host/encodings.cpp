#include "host/encodings.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#include <tmmintrin.h>
#endif
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
// Multiples in each byte, kept to their low 8 bits as the cells keep them.
inline __m128i Times10(__m128i x) {
  const __m128i x2 = _mm_add_epi8(x, x);
  const __m128i x8 = _mm_add_epi8(_mm_add_epi8(x2, x2), _mm_add_epi8(x2, x2));
  return _mm_add_epi8(x8, x2);
}

inline __m128i Times100(__m128i x) {
  const __m128i x4 = _mm_add_epi8(_mm_add_epi8(x, x), _mm_add_epi8(x, x));
  const __m128i x16 = _mm_add_epi8(_mm_add_epi8(x4, x4), _mm_add_epi8(x4, x4));
  const __m128i x32 = _mm_add_epi8(x16, x16);
  return _mm_add_epi8(_mm_add_epi8(_mm_add_epi8(x32, x32), x32), x4);
}

// Digit and comma masks of the sixteen bytes at p, and their digit values (0 for other bytes).
struct Bytes16 {
  __m128i d;
  __m128i isComma;
  unsigned digits;
  unsigned commas;
};

inline Bytes16 Classify(const char* p) {
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i isComma = _mm_cmpeq_epi8(block, _mm_set1_epi8(','));
  const __m128i isDigit =
      _mm_cmplt_epi8(_mm_add_epi8(block, _mm_set1_epi8(static_cast<char>(0x80 - '0'))),
                     _mm_set1_epi8(static_cast<char>(-128 + 10)));
  return {_mm_and_si128(_mm_sub_epi8(block, _mm_set1_epi8('0')), isDigit), isComma,
          static_cast<unsigned>(_mm_movemask_epi8(isDigit)),
          static_cast<unsigned>(_mm_movemask_epi8(isComma))};
}

struct Block {
  __m128i value;
  unsigned ends;    // a piece's last digit, closed by a comma in the block
  unsigned commas;  // never 0
};

// Pieces of one to three digits, sixteen bytes at a time. In a block of only digits and commas
// every byte gets, at once, the value of the piece that would end there: its digit, plus ten
// times the byte before, plus a hundred times the byte two before unless a comma lies between
// (commas count as 0). The bytes just before each comma are the pieces' values, taken out in
// order. A block with any other byte, with a piece of more than three digits or without a
// comma is left to the reading piece by piece. p is always at the start of a piece.
inline bool ReadBlock(const char* p, Block& b) {
  const Bytes16 here = Classify(p);
  if ((here.commas | here.digits) != 0xFFFF || here.commas == 0) return false;
  const unsigned digits = here.digits;
  if ((digits & digits >> 1 & digits >> 2 & digits >> 3) != 0) return false;  // four digits
  const __m128i hundreds =
      _mm_andnot_si128(_mm_slli_si128(here.isComma, 1), _mm_slli_si128(here.d, 2));
  b.value =
      _mm_add_epi8(_mm_add_epi8(here.d, Times10(_mm_slli_si128(here.d, 1))), Times100(hundreds));
  b.ends = digits & (here.commas >> 1);
  b.commas = here.commas;
  return true;
}

inline const char* PastLastComma(const char* p, unsigned commas) {
  return p + (32 - __builtin_clz(commas));
}

// Set bits in each byte value.
struct BitCounts {
  uint8_t count[256];
  BitCounts() {
    for (unsigned v = 0; v < 256; ++v) {
      count[v] = 0;
      for (unsigned m = v; m != 0; m &= m - 1) ++count[v];
    }
  }
};

const BitCounts& Counts() {
  static const BitCounts counts;
  return counts;
}

// Takes the values out one by one; stops with fewer than eight cells left.
size_t TakePieces(const char*& p, const char* end, uint8_t* out, size_t k, size_t n) {
  const BitCounts& counts = Counts();
  alignas(16) uint8_t values[17];
  values[16] = 0;  // taken for the pieces a block does not have: cells not yet written are 0
  Block b;
  while (n - k >= 8 && end - p >= 16 && ReadBlock(p, b)) {
    _mm_store_si128(reinterpret_cast<__m128i*>(values), b.value);
    unsigned ends = b.ends;
    const size_t count = counts.count[ends & 0xFF] + counts.count[ends >> 8];
    // Most blocks of card data hold three to five pieces: five are taken without a branch.
    uint8_t* const to = out + k;
    to[0] = values[__builtin_ctz(ends | 0x10000)];
    ends &= ends - 1;
    to[1] = values[__builtin_ctz(ends | 0x10000)];
    ends &= ends - 1;
    to[2] = values[__builtin_ctz(ends | 0x10000)];
    ends &= ends - 1;
    to[3] = values[__builtin_ctz(ends | 0x10000)];
    ends &= ends - 1;
    to[4] = values[__builtin_ctz(ends | 0x10000)];
    ends &= ends - 1;
    for (size_t i = 5; ends != 0; ++i) {
      to[i] = values[__builtin_ctz(ends)];
      ends &= ends - 1;
    }
    k += count;
    p = PastLastComma(p, b.commas);
  }
  return k;
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define TESSERA_SHUFFLED_PIECES 1
// Asked once, at the first long Byte list: __builtin_cpu_supports would add a constructor that
// runs cpuid at every start, and in a virtual machine each cpuid leaves to the hypervisor.
bool HasShuffles() {
  static const bool has = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_SSSE3) != 0;
  }();
  return has;
}

// For each half of a block, the byte shuffle that packs the values at its set end bits to the
// front and fills the rest with zeros: the processors of the last fifteen years do it in one
// instruction (SSSE3), which the baseline x86-64 build may not assume, so it is asked for here
// and used only where the processor has it.
struct PackTables {
  uint8_t low[256][16];
  uint8_t high[256][16];
  PackTables() {
    for (unsigned m = 0; m < 256; ++m) {
      unsigned n = 0;
      for (unsigned i = 0; i < 16; ++i) low[m][i] = high[m][i] = 0x80;
      for (unsigned bit = 0; bit < 8; ++bit) {
        if ((m >> bit & 1) == 0) continue;
        low[m][n] = static_cast<uint8_t>(bit);
        high[m][n] = static_cast<uint8_t>(bit + 8);
        ++n;
      }
    }
  }
};

// ReadBlock's values, but the blocks follow each other at a fixed step of sixteen bytes, so that
// no block waits for the one before: the bytes just before a block come from the block before,
// and a piece cut by the block's end is valued in the block that holds its last digit.
// Needs p at the start of a piece with sixteen bytes before it; leaves p at the start of a piece.
__attribute__((target("ssse3"))) size_t PackPieces(const char*& p, const char* end, uint8_t* out,
                                                   size_t k, size_t n) {
  static const PackTables tables;
  const BitCounts& counts = Counts();
  const char* q = p;
  Bytes16 before = Classify(q - 16);
  while (n - k >= 16 && end - q >= 17) {
    const Bytes16 here = Classify(q);
    if ((here.digits | here.commas) != 0xFFFF) break;
    // Digits of the bytes one, two and three places back: a fourth digit in a row ends the run.
    const uint32_t bytes32 = here.digits << 16 | before.digits;  // q - 16 up to q + 15
    const uint32_t run = bytes32 & bytes32 << 1 & bytes32 << 2 & bytes32 << 3;
    if ((run >> 16) != 0) break;
    const __m128i tensDigits = _mm_alignr_epi8(here.d, before.d, 15);
    const __m128i hundreds = _mm_andnot_si128(_mm_alignr_epi8(here.isComma, before.isComma, 15),
                                              _mm_alignr_epi8(here.d, before.d, 14));
    const __m128i value =
        _mm_add_epi8(_mm_add_epi8(here.d, Times10(tensDigits)), Times100(hundreds));
    const unsigned after = here.commas >> 1 | static_cast<unsigned>(q[16] == ',') << 15;
    const unsigned ends = here.digits & after;
    const unsigned low = ends & 0xFF;
    const unsigned high = ends >> 8;
    const __m128i first =
        _mm_shuffle_epi8(value, _mm_loadu_si128(reinterpret_cast<const __m128i*>(tables.low[low])));
    const __m128i second = _mm_shuffle_epi8(
        value, _mm_loadu_si128(reinterpret_cast<const __m128i*>(tables.high[high])));
    // Eight bytes each: the zeros past the values land on cells not yet written.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), first);
    k += counts.count[low];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), second);
    k += counts.count[high];
    before = here;
    q += 16;
  }
  // A piece that the last block cut and no comma closed yet is read again from its start: at
  // most three digits back. A comma at q has closed it, and it was taken.
  if (q > p && *q != ',') {
    while (q[-1] != ',') --q;
  }
  p = q;
  return k;
}
#endif

#ifdef TESSERA_SHUFFLED_PIECES
// Byte list output, sixteen bytes at a time: each byte becomes a group of four, its hundreds,
// tens and ones digits and a comma, and one byte shuffle per four groups drops the leading zero
// digits (skips 0 to 2 bytes per group; 81 ways for four groups).
struct TextShuffles {
  uint8_t mask[256][16];  // by key = skip0 + 4 * skip1 + 16 * skip2 + 64 * skip3
  uint8_t length[256];
  TextShuffles() {
    for (unsigned key = 0; key < 256; ++key) {
      unsigned n = 0;
      for (unsigned g = 0; g < 4; ++g) {
        for (unsigned i = (key >> (2 * g)) & 3; i < 4; ++i) mask[key][n++] = uint8_t(4 * g + i);
      }
      length[key] = static_cast<uint8_t>(n);
      while (n < 16) mask[key][n++] = 0x80;
    }
  }
};

// Writes the texts of n bytes (n a multiple of sixteen), each with its comma, from to on, and
// returns the end of the text. Writes up to sixteen bytes past the end: to needs 4 * n + 16.
__attribute__((target("ssse3"))) char* ShuffleTexts(const uint8_t* bytes, size_t n, char* to) {
  static const TextShuffles tables;
  const __m128i zero = _mm_setzero_si128();
  for (size_t i = 0; i < n; i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    // Leading zero digits: 2 below 10, 1 below 100 (compared as signed after moving 0 to -128).
    const __m128i biased = _mm_xor_si128(b, _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i skip = _mm_sub_epi8(
        _mm_sub_epi8(zero, _mm_cmplt_epi8(biased, _mm_set1_epi8(static_cast<char>(10 - 128)))),
        _mm_cmplt_epi8(biased, _mm_set1_epi8(static_cast<char>(100 - 128))));
    alignas(16) uint32_t skips[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(skips), skip);
    __m128i groups[4];
    for (int half = 0; half < 2; ++half) {
      const __m128i v = half == 0 ? _mm_unpacklo_epi8(b, zero) : _mm_unpackhi_epi8(b, zero);
      const __m128i tens = _mm_mulhi_epu16(v, _mm_set1_epi16(6554));     // v / 10 for v < 256
      const __m128i hundreds = _mm_mulhi_epu16(v, _mm_set1_epi16(656));  // v / 100
      const __m128i ones = _mm_sub_epi16(v, _mm_mullo_epi16(tens, _mm_set1_epi16(10)));
      const __m128i tensDigit = _mm_sub_epi16(tens, _mm_mullo_epi16(hundreds, _mm_set1_epi16(10)));
      const __m128i front = _mm_or_si128(hundreds, _mm_slli_epi16(tensDigit, 8));
      const __m128i back = _mm_or_si128(ones, _mm_set1_epi16(',' << 8));
      const __m128i digits = _mm_set1_epi32(0x00303030);
      groups[2 * half] = _mm_add_epi8(_mm_unpacklo_epi16(front, back), digits);
      groups[2 * half + 1] = _mm_add_epi8(_mm_unpackhi_epi16(front, back), digits);
    }
    for (int g = 0; g < 4; ++g) {
      const unsigned key = (skips[g] * 0x01041040u) >> 24;  // the four skips, two bits each
      const __m128i text = _mm_shuffle_epi8(
          groups[g], _mm_loadu_si128(reinterpret_cast<const __m128i*>(tables.mask[key])));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to), text);
      to += tables.length[key];
    }
  }
  return to;
}
#endif

size_t FastPieces(const char*& p, const char* start, const char* end, uint8_t* out, size_t k,
                  size_t n) {
#ifdef TESSERA_SHUFFLED_PIECES
  if (HasShuffles()) {
    if (p - start < 16) return k;  // the first pieces are read on their own
    k = PackPieces(p, end, out, k, n);
  }
#else
  (void)start;
#endif
  return TakePieces(p, end, out, k, n);
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
    // The longest text: three digits and a comma per byte, and room for a last wide store.
    out.resize(start + 4 * count + 16);
    char* p = &out[start];
    size_t i = first;
#ifdef TESSERA_SHUFFLED_PIECES
    if (HasShuffles()) {
      const size_t blocks = count - count % 16;
      p = ShuffleTexts(bytes + first, blocks, p);
      i += blocks;
    }
#endif
    for (; i < first + count; ++i) {
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
    k = FastPieces(p, start, end, buffer.data.get(), k, buffer.size);
    if (k == buffer.size || p == end) break;
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
