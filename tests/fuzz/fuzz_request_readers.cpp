// The streaming request reader against the document parse it replaced. The input is a stream
// of frames. Every body must be accepted by both or by neither, and fill the same table; and
// the whole stream, served once through each reader, must give the same reply bytes, the same
// service calls, the same argument cells and the same HandleSlots.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "commands/cells.h"
#include "fake_service.h"
#include "fuzz_support.h"
#include "host/arguments.h"
#include "host/dom_request.h"
#include "host/main_loop.h"
#include "host/request.h"

namespace {

// Bodies as the frame reader would cut them: a short last frame keeps what there is.
std::vector<std::string_view> Bodies(const uint8_t* data, size_t size) {
  std::vector<std::string_view> bodies;
  size_t pos = 0;
  while (size - pos >= 4) {
    size_t n = 0;
    for (int i = 0; i < 4; ++i) n |= size_t{data[pos + i]} << (8 * i);
    if (n == 0xFFFFFFFFu) break;
    pos += 4;
    n = std::min(n, size - pos);
    bodies.emplace_back(reinterpret_cast<const char*>(data + pos), n);
    pos += n;
  }
  return bodies;
}

void CompareTables(const host::Request& streamed, const host::Request& document) {
  if (streamed.isObject != document.isObject) fuzz::Fail("readers disagree on an object");
  for (int c = 0; c < 128; ++c) {
    const char key = static_cast<char>(c);
    const host::RequestValue* a = streamed.Find(std::string_view(&key, 1));
    const host::RequestValue* b = document.Find(std::string_view(&key, 1));
    if ((a == nullptr) != (b == nullptr)) fuzz::Fail("readers disagree on a key's presence");
    if (a == nullptr) continue;
    if (a->kind != b->kind) fuzz::Fail("readers disagree on a value's type");
    if (a->kind == host::RequestValue::Kind::kNumber && a->number != b->number) {
      fuzz::Fail("readers disagree on a number");
    }
    if (a->kind == host::RequestValue::Kind::kText && a->text != b->text) {
      fuzz::Fail("readers disagree on a text");
    }
  }
}

struct Outcome {
  std::string output;
  std::vector<fake::Call> calls;
  commands::Cells cells;
  host::HandleSlots slots;
  int ended = 0;
};

Outcome Serve(const std::vector<std::string_view>& bodies, bool streaming) {
  fuzz::ResetHost();
  fake::g_service.record = true;
  Outcome outcome;
  fuzz::Output out;
  std::string reply;
  try {
    for (std::string_view body : bodies) {
      if (streaming) {
        host::ServeBody(body, reply, out.file);
      } else {
        host::ServeBodyWithDocument(body, reply, out.file);
      }
    }
  } catch (const fuzz::HostEnded& ended) {
    outcome.ended = ended.status;
  }
  outcome.output = out.Take();
  outcome.calls = fake::g_service.calls;
  outcome.cells = commands::g_cells;
  outcome.slots = host::g_handleSlots;
  return outcome;
}

auto Fields(const fake::Call& c) {
  return std::tie(c.name, c.handle, c.words, c.text, c.textNull, c.input, c.inputNull, c.sendPci,
                  c.sendPciNull, c.recvPci, c.recvPciNull, c.outputNull, c.autoAllocate, c.atrNull);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string_view> bodies = Bodies(data, size);

  static host::RequestReader reader;
  static host::Request streamed;
  static host::Request document;
  for (std::string_view body : bodies) {
    const bool accepted = reader.Read(body, streamed);
    nlohmann::json parsed;
    bool parses = true;
    try {
      parsed = nlohmann::json::parse(body.begin(), body.end());
    } catch (const nlohmann::json::exception&) {
      parses = false;
    }
    if (accepted != parses) fuzz::Fail("readers disagree on whether a body parses");
    if (!accepted) continue;
    host::FillFromDocument(parsed, document);
    CompareTables(streamed, document);
  }

  const Outcome before = Serve(bodies, false);
  const Outcome after = Serve(bodies, true);
  if (before.output != after.output) fuzz::Fail("readers give different replies");
  if (before.ended != after.ended) fuzz::Fail("readers end the host differently");
  if (before.calls.size() != after.calls.size()) fuzz::Fail("readers make different calls");
  for (size_t i = 0; i < before.calls.size(); ++i) {
    if (Fields(before.calls[i]) != Fields(after.calls[i])) {
      fuzz::Fail("readers pass different arguments");
    }
  }
  if (std::memcmp(&before.cells, &after.cells, sizeof before.cells) != 0) {
    fuzz::Fail("readers leave different argument cells");
  }
  if (std::memcmp(&before.slots, &after.slots, sizeof before.slots) != 0) {
    fuzz::Fail("readers leave different HandleSlots");
  }
  fuzz::ResetHost();
  return 0;
}
