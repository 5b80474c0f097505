#include "host/main_loop.h"

#include <new>

#include "host/arguments.h"
#include "host/dispatch.h"
#include "host/framing.h"
#include "host/request.h"
#include "host/turn.h"

namespace host {
namespace {

// Texts grown by one huge message are given back instead of being kept for the next one.
constexpr size_t kKeptCapacity = 1024 * 1024;

void TrimCapacity(std::string& text) {
  if (text.capacity() > kKeptCapacity) std::string().swap(text);
}

}  // namespace

// The envelope: "i" and "c" are required, "r" must be a number if present, "e" a string.
void ServeRequest(const Request& request, std::string& reply, std::FILE* out) {
  const std::string* id = ReadText(request, "i");
  if (id == nullptr) throw RequestError{};
  int32_t ignored = 0;
  ReadNumber(request, "r", ignored);
  static const std::string kNoEcho;
  const std::string* echo = ReadText(request, "e");
  int32_t code = 0;
  if (!ReadNumber(request, "c", code)) throw RequestError{};
  const Command* command = FindCommand(code);
  if (command == nullptr) return;
  Turn turn{request, *id, echo != nullptr ? *echo : kNoEcho, reply, out};
  command->handler(turn);
}

void ServeBody(std::string_view body, std::string& reply, std::FILE* out) {
  // One request at a time: the table and the reader keep their storage from turn to turn.
  static RequestReader reader;
  static Request request;
  try {
    if (reader.Read(body, request)) ServeRequest(request, reply, out);
  } catch (const RequestError&) {
    // A request the host cannot read gets no reply; the next frame is served as usual.
  } catch (const std::bad_alloc&) {
    // A request too large to hold is dropped the same way.
  }
  if (body.size() > kKeptCapacity) request.TrimStorage();
}

int RunHost(std::FILE* in, std::FILE* out) {
  std::string body;
  size_t length = 0;
  std::string reply;
  while (ReadFrame(in, body, length, out) == FrameStatus::kFrame) {
    ServeBody(std::string_view(body.data(), length), reply, out);
    TrimCapacity(body);
    TrimCapacity(reply);
  }
  SendHeldReplies(out);
  return 0;
}

}  // namespace host
