#include "host/arguments.h"

namespace host {

HandleSlots g_handleSlots;

const ByteKeySet kByteKeysS = {{"x", "y", "z", "s", "l", "b", "h", "j"}};
const ByteKeySet kByteKeysW = {{"x", "y", "z", "w", "m", "s", "t", "k"}};

bool ReadNumber(const Request& request, const char* key, int32_t& cell) {
  const RequestValue* member = request.Find(key);
  if (member == nullptr) return false;
  if (member->kind != RequestValue::Kind::kNumber) throw RequestError{};
  cell = member->number;
  return true;
}

bool ReadNumber(const Request& request, const char* key, uint32_t& cell) {
  int32_t value = 0;
  if (!ReadNumber(request, key, value)) return false;
  cell = static_cast<uint32_t>(value);
  return true;
}

const std::string* ReadText(const Request& request, const char* key) {
  const RequestValue* member = request.Find(key);
  if (member == nullptr) return nullptr;
  if (member->kind != RequestValue::Kind::kText) throw RequestError{};
  return &member->text;
}

bool IsNullText(const std::string* text) {
  return text != nullptr && *text == "NULL";
}

void ReadHandleBytes(const Request& request, const ByteKeySet& keys, HandleCells& cells) {
  ReadNumber(request, "p", cells.count);
  for (int k = 0; k < 8; ++k) {
    int32_t value = 0;
    if (ReadNumber(request, keys.bytes[k], value)) cells.bytes[k] = static_cast<uint8_t>(value);
  }
}

void CopyHandleBytes(const HandleCells& cells, uint64_t& slot) {
  const int count = cells.count < 0 ? 0 : (cells.count > 8 ? 8 : cells.count);
  for (int k = 0; k < count; ++k) {
    slot &= ~(uint64_t{0xFF} << (8 * k));
    slot |= uint64_t{cells.bytes[k]} << (8 * k);
  }
}

}  // namespace host
