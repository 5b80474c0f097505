#include "byte_text.h"

#include <cstdlib>

namespace bytetext {

std::string ByteList(const Bytes& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) text += ',';
    text += std::to_string(bytes[i]);
  }
  return text;
}

Bytes ParseByteList(const std::string& text) {
  Bytes bytes;
  if (text == "NULL" || text.empty()) return bytes;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    bytes.push_back(static_cast<uint8_t>(std::atoi(text.substr(start, comma - start).c_str())));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return bytes;
}

std::string ToHex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

bool FromHex(const std::string& text, Bytes& bytes) {
  bytes.clear();
  int high = -1;
  for (const char c : text) {
    int value;
    if (c >= '0' && c <= '9') {
      value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      value = c - 'A' + 10;
    } else if (c == ' ' || c == ':' || c == '-' || c == '\t') {
      continue;
    } else {
      return false;
    }
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | value));
      high = -1;
    }
  }
  return high < 0;
}

}  // namespace bytetext
