#include "host/main_loop.h"

#include <nlohmann/json.hpp>

#include "host/arguments.h"
#include "host/dispatch.h"
#include "host/framing.h"
#include "host/turn.h"

namespace host {
namespace {

// Texts grown by one huge message are given back instead of being kept for the next one.
constexpr size_t kKeptCapacity = 1024 * 1024;

void TrimCapacity(std::string& text) {
  if (text.capacity() > kKeptCapacity) std::string().swap(text);
}

// The envelope: "i" and "c" are required, "r" must be a number if present, "e" a string.
void HandleRequest(const nlohmann::json& request, std::string& reply, std::FILE* out) {
  const nlohmann::json* idMember = FindMember(request, "i");
  // at() raises the library's error for a missing key or a request that is not an object.
  const std::string& id =
      (idMember != nullptr ? *idMember : request.at("i")).get_ref<const std::string&>();
  int32_t ignored = 0;
  ReadNumber(request, "r", ignored);
  static const std::string kNoEcho;
  const std::string* echo = ReadText(request, "e");
  int32_t code = 0;
  if (!ReadNumber(request, "c", code)) {
    request.at("c");  // raises the library's error for the missing key
  }
  const Command* command = FindCommand(code);
  if (command == nullptr) return;
  Turn turn{request, id, echo != nullptr ? *echo : kNoEcho, reply, out};
  command->handler(turn);
}

}  // namespace

void ServeBody(std::string_view body, std::string& reply, std::FILE* out) {
  try {
    const nlohmann::json request = nlohmann::json::parse(body.begin(), body.end());
    HandleRequest(request, reply, out);
  } catch (const nlohmann::json::exception&) {
    // A request the host cannot read gets no reply; the next frame is served as usual.
  } catch (const std::bad_alloc&) {
    // A request too large to hold is dropped the same way.
  }
}

int RunHost(std::FILE* in, std::FILE* out) {
  std::string body;
  std::string reply;
  while (ReadFrame(in, body) == FrameStatus::kFrame) {
    ServeBody(body, reply, out);
    TrimCapacity(body);
    TrimCapacity(reply);
  }
  return 0;
}

}  // namespace host
