#include "host/request.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace host {

namespace {

// Texts grown by one huge request are given back instead of being kept for the next one.
constexpr size_t kKeptCapacity = 1024 * 1024;

bool IsWhite(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// True when none of the eight bytes ends a plain run of string text: no quotation mark, no
// reverse solidus, no control byte and no byte of a multi-byte UTF-8 sequence. The lowest such
// byte always sets its high bit (no borrow reaches it from the plain bytes below), so there are
// no misses; the rare false alarm only sends that word through the byte-wise path.
bool PlainWord(uint64_t x) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHigh = 0x8080808080808080u;
  const uint64_t control = x - kOnes * 0x20;
  const uint64_t quote = (x ^ (kOnes * '"')) - kOnes;
  const uint64_t backslash = (x ^ (kOnes * '\\')) - kOnes;
  return ((control | quote | backslash | x) & kHigh) == 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at p, or -1.
int Hex4(const char* p, const char* end) {
  if (end - p < 4) return -1;
  int value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = HexDigit(p[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The length of the well-formed UTF-8 sequence (RFC 3629) that starts at p with a byte of 0x80
// or more, or 0.
size_t Utf8Length(const char* p, const char* end) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(p[i]); };
  const auto in = [&](size_t i, unsigned lo, unsigned hi) {
    return end - p > static_cast<ptrdiff_t>(i) && at(i) >= lo && at(i) <= hi;
  };
  const unsigned c = at(0);
  if (c >= 0xC2 && c <= 0xDF) return in(1, 0x80, 0xBF) ? 2 : 0;
  if (c == 0xE0) return in(1, 0xA0, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
  if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
    return in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (c == 0xED) return in(1, 0x80, 0x9F) && in(2, 0x80, 0xBF) ? 3 : 0;
  if (c == 0xF0) return in(1, 0x90, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
  if (c >= 0xF1 && c <= 0xF3) {
    return in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
  }
  if (c == 0xF4) return in(1, 0x80, 0x8F) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
  return 0;
}

int32_t Low32(uint64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace

// Computed from the value's bits rather than with fmod, which alone made the host load the
// math library at every start.
int32_t FloatBits(double value) {
  if (!std::isfinite(value)) return 0;
  const double truncated = std::trunc(value);
  if (std::fabs(truncated) < 9223372036854775808.0) {  // 2^63: the integer converts exactly
    return Low32(static_cast<uint64_t>(static_cast<int64_t>(truncated)));
  }
  // significand * 2^exponent, with an exponent of at least 11 here.
  uint64_t bits = 0;
  std::memcpy(&bits, &truncated, sizeof bits);
  const int exponent = static_cast<int>((bits >> 52) & 0x7FF) - 1075;
  const uint64_t significand = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  const uint64_t magnitude = exponent >= 32 ? 0 : significand << exponent;
  return Low32((bits >> 63) != 0 ? ~magnitude + 1 : magnitude);
}

void Request::Clear() {
  isObject = false;
  if (++stamp_ == 0) {  // after four billion requests the old stamps could match again
    for (RequestValue& value : values_) value.stamp = 0;
    stamp_ = 1;
  }
}

void Request::TrimStorage() {
  for (RequestValue& value : values_) {
    if (value.text.capacity() > kKeptCapacity) std::string().swap(value.text);
  }
}

const RequestValue* Request::Find(std::string_view key) const {
  if (!isObject || !IsKept(key)) return nullptr;
  const RequestValue& value = values_[static_cast<unsigned char>(key[0])];
  return value.stamp == stamp_ ? &value : nullptr;
}

RequestValue& Request::Set(unsigned char key) {
  RequestValue& value = values_[key];
  value.stamp = stamp_;
  return value;
}

bool RequestReader::Read(std::string_view body, Request& request) {
  request.Clear();
  const char* p = body.data();
  end_ = p + body.size();
  // The library skips a byte order mark at the very start, and only a whole one.
  if (p < end_ && static_cast<unsigned char>(*p) == 0xEF) {
    if (end_ - p < 3 || static_cast<unsigned char>(p[1]) != 0xBB ||
        static_cast<unsigned char>(p[2]) != 0xBF) {
      return false;
    }
    p += 3;
  }
  while (p < end_ && IsWhite(*p)) ++p;
  if (p == end_) return false;
  bool ok = false;
  if (*p == '{') {
    request.isObject = true;
    ok = Value(++p, &request, nullptr);
  } else {
    ok = Value(p, nullptr, nullptr);
  }
  while (ok && p < end_ && IsWhite(*p)) ++p;
  if (body.size() > kKeptCapacity) {
    std::vector<char>().swap(nesting_);
    std::string().swap(scratch_);
  }
  // The library takes a NUL byte for the end of its input: whatever follows one is not read.
  return ok && (p == end_ || *p == '\0');
}

// With request set, p is just inside the top-level object and its members go into the table.
// Otherwise p is at any value, which is checked and passed over; slot, when set, receives it.
bool RequestReader::Value(const char*& p, Request* request, RequestValue* slot) {
  if (request != nullptr) {
    const auto white = [&] {
      while (p < end_ && IsWhite(*p)) ++p;
      return p < end_;
    };
    if (!white()) return false;
    if (*p == '}') {
      ++p;
      return true;
    }
    for (;;) {
      if (*p != '"') return false;
      const char* key = ++p;
      if (!String(p, nullptr)) return false;
      RequestValue* member = nullptr;
      const size_t raw = static_cast<size_t>(p - 1 - key);
      if (raw == 1) {
        member = &request->Set(static_cast<unsigned char>(*key));
      } else if (raw <= 6 && *key == '\\') {  // an escaped letter, as "\u0063"
        const char* again = key;
        scratch_.clear();
        String(again, &scratch_);
        if (Request::IsKept(scratch_))
          member = &request->Set(static_cast<unsigned char>(scratch_[0]));
      }
      if (!white() || *p != ':') return false;
      ++p;
      if (!white() || !Value(p, nullptr, member)) return false;
      if (!white()) return false;
      if (*p == '}') {
        ++p;
        return true;
      }
      if (*p != ',') return false;
      ++p;
      if (!white()) return false;
    }
  }
  if (p >= end_) return false;
  switch (*p) {
    case '"':
      ++p;
      if (slot == nullptr) return String(p, nullptr);
      slot->kind = RequestValue::Kind::kText;
      slot->text.clear();
      return String(p, &slot->text);
    case '{':
    case '[':
      if (slot != nullptr) slot->kind = RequestValue::Kind::kOther;
      return Container(p);
    case 't':
    case 'f':
    case 'n':
      return Literal(p, slot);
    default:
      return Number(p, slot);
  }
}

// Passes over a nested object or array without recursion: nesting may be as deep as the frame
// is long.
bool RequestReader::Container(const char*& p) {
  nesting_.clear();
  const auto white = [&] {
    while (p < end_ && IsWhite(*p)) ++p;
    return p < end_;
  };
  // A member's key and colon; p is left at its value.
  const auto key = [&] {
    if (*p != '"') return false;
    ++p;
    if (!String(p, nullptr) || !white() || *p != ':') return false;
    ++p;
    return white();
  };
  for (;;) {
    // p is at a value.
    if (*p == '{' || *p == '[') {
      nesting_.push_back(*p == '{' ? '}' : ']');
      ++p;
      if (!white()) return false;
      if (*p != nesting_.back()) {
        if (nesting_.back() == '}' && !key()) return false;
        continue;
      }
      ++p;
      nesting_.pop_back();
    } else if (!Value(p, nullptr, nullptr)) {
      return false;
    }
    // After a value: commas and closing brackets until the next value or the outermost end.
    for (;;) {
      if (nesting_.empty()) return true;
      if (!white()) return false;
      if (*p == nesting_.back()) {
        ++p;
        nesting_.pop_back();
        continue;
      }
      if (*p != ',') return false;
      ++p;
      if (!white()) return false;
      if (nesting_.back() == '}' && !key()) return false;
      break;
    }
  }
}

// p is just past the opening quotation mark; on success it is just past the closing one. Plain
// runs are checked eight bytes at a time and appended to out whole.
bool RequestReader::String(const char*& p, std::string* out) {
  const char* run = p;
  for (;;) {
#if defined(__SSE2__)
    // Sixteen bytes at a time up to the first byte that is not plain text: a quotation mark, a
    // reverse solidus, or (compared as signed) a byte below 0x20 or from 0x80 on.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (end_ - p >= 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i stop =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
                       _mm_cmplt_epi8(block, space));
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
      if (mask != 0) {
        p += __builtin_ctz(mask);
        break;
      }
      p += 16;
    }
#endif
    while (end_ - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if (!PlainWord(word)) break;
      p += 8;
    }
    if (p >= end_) return false;
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"') {
      if (out != nullptr) out->append(run, static_cast<size_t>(p - run));
      ++p;
      return true;
    }
    if (c >= 0x20 && c < 0x80 && c != '\\') {
      ++p;
      continue;
    }
    if (c < 0x20) return false;
    if (c >= 0x80) {
      const size_t length = Utf8Length(p, end_);
      if (length == 0) return false;
      p += length;
      continue;
    }
    // An escape.
    if (out != nullptr) out->append(run, static_cast<size_t>(p - run));
    if (end_ - p < 2) return false;
    const char kind = p[1];
    p += 2;
    char plain = 0;
    switch (kind) {
      case '"':
        plain = '"';
        break;
      case '\\':
        plain = '\\';
        break;
      case '/':
        plain = '/';
        break;
      case 'b':
        plain = '\b';
        break;
      case 'f':
        plain = '\f';
        break;
      case 'n':
        plain = '\n';
        break;
      case 'r':
        plain = '\r';
        break;
      case 't':
        plain = '\t';
        break;
      case 'u': {
        int cp = Hex4(p, end_);
        if (cp < 0) return false;
        p += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {  // must be followed by the low half of the pair
          if (end_ - p < 2 || p[0] != '\\' || p[1] != 'u') return false;
          const int low = Hex4(p + 2, end_);
          if (low < 0xDC00 || low > 0xDFFF) return false;
          p += 6;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
          return false;
        }
        if (out != nullptr) AppendUtf8(*out, static_cast<uint32_t>(cp));
        run = p;
        continue;
      }
      default:
        return false;
    }
    if (out != nullptr) out->push_back(plain);
    run = p;
  }
}

// RFC 8259 numbers. Integers of up to 18 digits are read here; longer integers and every
// floating value go through the C library's conversions exactly as the JSON library uses them,
// so the same values come out and a value beyond a double's range is the same error.
bool RequestReader::Number(const char*& p, RequestValue* slot) {
  const char* start = p;
  const bool negative = *p == '-';
  if (negative) ++p;
  if (p >= end_ || !IsDigit(*p)) return false;
  uint64_t magnitude = 0;
  int digits = 0;
  if (*p == '0') {
    ++p;
    digits = 1;
  } else {
    for (; p < end_ && IsDigit(*p); ++p, ++digits) {
      if (digits < 19) magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
    }
  }
  bool floating = false;
  if (p < end_ && *p == '.') {
    ++p;
    if (p >= end_ || !IsDigit(*p)) return false;
    while (p < end_ && IsDigit(*p)) ++p;
    floating = true;
  }
  if (p < end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end_ && (*p == '+' || *p == '-')) ++p;
    if (p >= end_ || !IsDigit(*p)) return false;
    while (p < end_ && IsDigit(*p)) ++p;
    floating = true;
  }
  int32_t bits = 0;
  if (!floating && digits <= 18) {
    bits = Low32(negative ? ~magnitude + 1 : magnitude);
  } else {
    scratch_.assign(start, static_cast<size_t>(p - start));
    bool integer = false;
    if (!floating) {
      errno = 0;
      if (negative) {
        const long long value = std::strtoll(scratch_.c_str(), nullptr, 10);
        integer = errno == 0;
        bits = Low32(static_cast<uint64_t>(value));
      } else {
        const unsigned long long value = std::strtoull(scratch_.c_str(), nullptr, 10);
        integer = errno == 0;
        bits = Low32(value);
      }
    }
    if (!integer) {
      const double value = std::strtod(scratch_.c_str(), nullptr);
      if (!std::isfinite(value)) return false;
      bits = FloatBits(value);
    }
  }
  if (slot != nullptr) {
    slot->kind = RequestValue::Kind::kNumber;
    slot->number = bits;
  }
  return true;
}

bool RequestReader::Literal(const char*& p, RequestValue* slot) {
  static constexpr struct {
    const char* text;
    size_t length;
    RequestValue::Kind kind;
    int32_t number;
  } kLiterals[] = {{"true", 4, RequestValue::Kind::kNumber, 1},
                   {"false", 5, RequestValue::Kind::kNumber, 0},
                   {"null", 4, RequestValue::Kind::kOther, 0}};
  for (const auto& literal : kLiterals) {
    if (*p != literal.text[0]) continue;
    if (static_cast<size_t>(end_ - p) < literal.length ||
        std::memcmp(p, literal.text, literal.length) != 0) {
      return false;
    }
    p += literal.length;
    if (slot != nullptr) {
      slot->kind = literal.kind;
      slot->number = literal.number;
    }
    return true;
  }
  return false;
}

}  // namespace host
