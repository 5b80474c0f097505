// One request as the commands read it: the values of its one-letter members, kept in a table
// that lives as long as the host, so reading a request allocates nothing once the texts have
// grown to their working size.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// What a reader of the request raises for a member of the wrong JSON type, a missing "i" or "c",
// or a request that is not an object. The request then gets no reply.
struct RequestError : std::exception {
  const char* what() const noexcept override { return "request has a value of the wrong type"; }
};

// A member's value as far as the host can use it. Numbers, booleans and the 32 bits they give
// are kept; texts are kept decoded; null, arrays and objects only as "other".
struct RequestValue {
  enum class Kind : uint8_t { kNumber, kText, kOther };
  Kind kind = Kind::kOther;
  int32_t number = 0;
  std::string text;
  uint32_t stamp = 0;  // equals the table's stamp while the current request has this member
};

class Request {
 public:
  // Forgets the previous request's members; the texts keep their storage.
  void Clear();
  // Gives back texts that grew beyond the working size.
  void TrimStorage();

  bool isObject = false;

  // The member named key in the current request, or null. Only one-byte keys below 0x80 are
  // kept: every key the host reads is one letter.
  const RequestValue* Find(std::string_view key) const;
  // The slot of a one-byte key, marked present; a second member of the same name overwrites
  // the first, as the JSON library's object parse does.
  RequestValue& Set(unsigned char key);
  static bool IsKept(std::string_view key) {
    return key.size() == 1 && static_cast<unsigned char>(key[0]) < kKeys;
  }

 private:
  static constexpr unsigned kKeys = 128;
  RequestValue values_[kKeys];
  uint32_t stamp_ = 1;
};

// The low 32 bits of a finite value truncated toward zero, as a Number argument reads a JSON
// floating value; values beyond 64 bits cannot overflow the conversion.
int32_t FloatBits(double value);

// The streaming reader: parses body as one complete JSON text, as the JSON library's parse
// accepts it (an optional UTF-8 byte order mark, strict RFC 8259, UTF-8 checked in strings,
// numbers beyond a double's range rejected, any depth of nesting, a NUL byte after the value
// ending the text), and fills request with the
// top-level object's members. Returns false where the library raises its parse error.
class RequestReader {
 public:
  bool Read(std::string_view body, Request& request);

 private:
  bool Value(const char*& p, Request* request, RequestValue* slot);
  bool Container(const char*& p);
  bool String(const char*& p, std::string* out);
  bool Number(const char*& p, RequestValue* slot);
  bool Literal(const char*& p, RequestValue* slot);

  const char* end_ = nullptr;
  std::vector<char> nesting_;  // '}' or ']' for each open container of a nested value
  std::string scratch_;        // a key's text, or a number handed to the C library
};

}  // namespace host
