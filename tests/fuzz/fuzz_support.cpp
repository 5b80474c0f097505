#include "fuzz_support.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "commands/cells.h"
#include "fake_service.h"
#include "host/arguments.h"
#include "host/end_host.h"

namespace host {

// Linked in place of the process exit (end_host.cpp), so an input that ends the host ends only
// that input.
void EndHost(int status) {
  throw fuzz::HostEnded{status};
}

}  // namespace host

namespace fuzz {

namespace {
// Replies larger than this are checked by their ends only, to keep each run fast.
constexpr size_t kFullCheckLimit = 4u * 1024 * 1024;
}  // namespace

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

void ResetHost() {
  host::g_handleSlots = host::HandleSlots{};
  commands::g_cells = commands::Cells{};
  fake::Reset();
  fake::g_service.record = false;
}

Output::Output() {
  file = open_memstream(&data_, &size_);
}

Output::~Output() {
  if (file != nullptr) std::fclose(file);
  std::free(data_);
}

std::string Output::Take() {
  std::fclose(file);
  file = nullptr;
  std::string text(data_ != nullptr ? data_ : "", size_);
  return text;
}

std::vector<std::string> SplitFrames(const std::string& output) {
  std::vector<std::string> bodies;
  size_t pos = 0;
  while (pos < output.size()) {
    if (output.size() - pos < 4) Fail("truncated length prefix");
    size_t n = 0;
    for (int i = 0; i < 4; ++i) n |= size_t{static_cast<uint8_t>(output[pos + i])} << (8 * i);
    if (output.size() - pos - 4 < n) Fail("truncated reply body");
    bodies.push_back(output.substr(pos + 4, n));
    pos += 4 + n;
  }
  return bodies;
}

void CheckReply(const std::string& body, const char* callName,
                const std::vector<const char*>* members) {
  if (body.size() < 2 || body.front() != '{' || body.back() != '}') Fail("reply is no object");
  if (body.compare(0, 6, "{\"i\":\"") != 0) Fail("reply does not start with the id");
  if (body.size() > kFullCheckLimit) return;
  nlohmann::ordered_json reply;
  try {
    reply = nlohmann::ordered_json::parse(body);
  } catch (const nlohmann::json::exception&) {
    Fail("reply is not valid JSON");
  }
  if (!reply.is_object() || reply.size() < 3) Fail("reply lacks its head");
  std::vector<std::string> keys;
  for (auto it = reply.begin(); it != reply.end(); ++it) {
    if (!it.value().is_string()) Fail("reply value is not a string");
    keys.push_back(it.key());
  }
  if (keys[0] != "i" || keys[2] != "resp") Fail("reply head out of order");
  if (callName != nullptr && keys[1] != callName) Fail("reply names another call");
  if (members != nullptr) {
    if (keys.size() != 3 + members->size()) Fail("reply has other members");
    for (size_t k = 0; k < members->size(); ++k) {
      if (keys[3 + k] != (*members)[k]) Fail("reply members out of order");
    }
  }
}

void CheckServiceMemory() {
  if (!fake::g_service.outstanding.empty()) Fail("service memory not given back");
  if (fake::g_service.badFrees != 0) Fail("memory given back that the service did not hand out");
}

}  // namespace fuzz
