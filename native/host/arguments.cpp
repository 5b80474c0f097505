#include "host/arguments.h"

#include <cmath>

namespace host {

HandleSlots g_handleSlots;

const ByteKeySet kByteKeysS = {{"x", "y", "z", "s", "l", "b", "h", "j"}};
const ByteKeySet kByteKeysW = {{"x", "y", "z", "w", "m", "s", "t", "k"}};

namespace {

// A one-letter key as the object's ordered map compares it, without building a string or calling
// strlen and memcmp for every node: every request key is one letter, and a request looks up
// about twenty of them.
struct Letter {
  unsigned char c;  // std::string orders its characters as unsigned char
};
bool operator<(const std::string& name, Letter key) {
  return name.empty() || static_cast<unsigned char>(name[0]) < key.c;
}
bool operator<(Letter key, const std::string& name) {
  if (name.empty()) return false;
  const unsigned char first = static_cast<unsigned char>(name[0]);
  return key.c < first || (key.c == first && name.size() > 1);
}

// Low 32 bits of a finite value truncated toward zero, so that values beyond 64 bits cannot
// overflow a conversion.
int32_t FloatLow32(double value) {
  if (!std::isfinite(value)) return 0;
  const double truncated = std::trunc(value);
  const double wrapped = std::fmod(truncated, 4294967296.0);  // exact for doubles
  const int64_t low = static_cast<int64_t>(wrapped);
  return static_cast<int32_t>(static_cast<uint32_t>(low));
}

int32_t NumberValue(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::number_integer:
      return static_cast<int32_t>(static_cast<uint32_t>(value.get_ref<const int64_t&>()));
    case nlohmann::json::value_t::number_unsigned:
      return static_cast<int32_t>(static_cast<uint32_t>(value.get_ref<const uint64_t&>()));
    case nlohmann::json::value_t::number_float:
      return FloatLow32(value.get_ref<const double&>());
    case nlohmann::json::value_t::boolean:
      return value.get_ref<const bool&>() ? 1 : 0;
    default:
      // Raises the library's type error for strings, null, arrays and objects.
      return static_cast<int32_t>(value.get<double>());
  }
}

}  // namespace

const nlohmann::json* FindMember(const nlohmann::json& request, const char* key) {
  const auto* object = request.get_ptr<const nlohmann::json::object_t*>();
  if (object == nullptr) return nullptr;
  const auto it = key[0] != '\0' && key[1] == '\0'
                      ? object->find(Letter{static_cast<unsigned char>(key[0])})
                      : object->find(key);
  return it != object->end() ? &it->second : nullptr;
}

bool ReadNumber(const nlohmann::json& request, const char* key, int32_t& cell) {
  const nlohmann::json* member = FindMember(request, key);
  if (member == nullptr) return false;
  cell = NumberValue(*member);
  return true;
}

bool ReadNumber(const nlohmann::json& request, const char* key, uint32_t& cell) {
  int32_t value = 0;
  if (!ReadNumber(request, key, value)) return false;
  cell = static_cast<uint32_t>(value);
  return true;
}

const std::string* ReadText(const nlohmann::json& request, const char* key) {
  const nlohmann::json* member = FindMember(request, key);
  if (member == nullptr) return nullptr;
  return &member->get_ref<const std::string&>();
}

bool IsNullText(const std::string* text) {
  return text != nullptr && *text == "NULL";
}

void ReadHandleBytes(const nlohmann::json& request, const ByteKeySet& keys, HandleCells& cells) {
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
