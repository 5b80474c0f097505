#include "host/dom_request.h"

#include <new>

#include "host/main_loop.h"

namespace host {

void FillFromDocument(const nlohmann::json& document, Request& request) {
  request.Clear();
  const auto* object = document.get_ptr<const nlohmann::json::object_t*>();
  if (object == nullptr) return;
  request.isObject = true;
  for (const auto& [key, value] : *object) {
    if (!Request::IsKept(key)) continue;
    RequestValue& slot = request.Set(static_cast<unsigned char>(key[0]));
    slot.kind = RequestValue::Kind::kNumber;
    switch (value.type()) {
      case nlohmann::json::value_t::number_integer:
        slot.number = static_cast<int32_t>(static_cast<uint32_t>(value.get<int64_t>()));
        break;
      case nlohmann::json::value_t::number_unsigned:
        slot.number = static_cast<int32_t>(static_cast<uint32_t>(value.get<uint64_t>()));
        break;
      case nlohmann::json::value_t::number_float:
        slot.number = FloatBits(value.get<double>());
        break;
      case nlohmann::json::value_t::boolean:
        slot.number = value.get<bool>() ? 1 : 0;
        break;
      case nlohmann::json::value_t::string:
        slot.kind = RequestValue::Kind::kText;
        slot.text = value.get_ref<const std::string&>();
        break;
      default:
        slot.kind = RequestValue::Kind::kOther;
        break;
    }
  }
}

void ServeBodyWithDocument(std::string_view body, std::string& reply, std::FILE* out) {
  static Request request;
  try {
    const nlohmann::json document = nlohmann::json::parse(body.begin(), body.end());
    FillFromDocument(document, request);
    ServeRequest(request, reply, out);
  } catch (const nlohmann::json::exception&) {
  } catch (const RequestError&) {
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace host
