// A smart-card service whose every output comes from the fuzz input: result codes, lengths that
// lie (beyond the buffer, 0, 4294967295), pointers left null, memory handed out for
// autoallocation, reader-state records rewritten, receive PCI records of any content. Each step
// sends one well-formed request of a command with argument values from the input, so every
// handler's treatment of what the service reports is exercised. Every request must be answered
// with its command's exact reply members, and all service memory must go back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "command_keys.h"
#include "fake_service.h"
#include "fuzz_support.h"
#include "host/buffers.h"
#include "host/main_loop.h"

namespace {

// Reads the fuzz input front to back; an exhausted input reads as zeros.
struct Input {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;

  bool Empty() const { return pos >= size; }
  uint8_t Byte() { return pos < size ? data[pos++] : 0; }
  uint32_t Word() {
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w |= uint32_t{Byte()} << (8 * i);
    return w;
  }
  uint64_t Wide() { return uint64_t{Word()} | uint64_t{Word()} << 32; }
  bool Flag() { return (Byte() & 1) != 0; }
  std::vector<uint8_t> Bytes(size_t most) {
    const size_t n = std::min<size_t>(Byte() % (most + 1), size - std::min(pos, size));
    std::vector<uint8_t> bytes(data + pos, data + pos + n);
    pos += n;
    return bytes;
  }
};

// Values at the edges of every length and count the handlers take or the service reports.
constexpr uint32_t kEdgeValues[] = {
    0,     1,        2,        4,        7,          8,          9,          16,
    19,    32,       33,       36,       200,        256,        264,        400,
    3200,  65535,    65536,    65559,    65560,      65561,      70000,      83886,
    83887, 16777215, 16777216, 16777217, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};

// Result codes: success, the common failures, and any 32 bits.
constexpr uint32_t kResults[] = {0,          0x80100001, 0x80100002, 0x80100003, 0x80100006,
                                 0x80100008, 0x8010000A, 0x80100017, 0x8010001D, 0x8010001F,
                                 0x80100069, 0x8010006C, 0x80100068};

uint32_t NumberValue(Input& in) {
  switch (in.Byte() % 3) {
    case 0:
      return kEdgeValues[in.Byte() % (sizeof kEdgeValues / sizeof kEdgeValues[0])];
    case 1:
      return in.Byte();
    default:
      return in.Word();
  }
}

std::optional<uint32_t> ReportedLength(Input& in) {
  switch (in.Byte() % 4) {
    case 0:
      return std::nullopt;  // the truth
    case 1:
      return kEdgeValues[in.Byte() % (sizeof kEdgeValues / sizeof kEdgeValues[0])];
    case 2:
      return in.Byte();
    default:
      return in.Word();
  }
}

std::string ByteListText(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += ',';
    text += std::to_string(bytes[i]);
  }
  return text;
}

std::string Request(Input& in, const hostile::CommandKeys& command) {
  std::string body = "{\"i\":\"f\",\"c\":" + std::to_string(command.code);
  for (const hostile::Key& key : command.keys) {
    const uint8_t choice = in.Byte();
    if (choice % 4 == 0) continue;  // absent: the cell keeps its value
    body += ",\"";
    body += key.name;
    body += "\":";
    if (key.kind == hostile::KeyKind::kNumber) {
      body += std::to_string(NumberValue(in));
    } else if (choice % 4 == 1) {
      body += "\"NULL\"";
    } else {
      body += "\"" + ByteListText(in.Bytes(255)) + "\"";
    }
  }
  return body + "}";
}

fake::Script Script(Input& in) {
  fake::Script s;
  const uint8_t r = in.Byte();
  s.result = static_cast<pcsc::Result>(
      r < 128 ? 0 : (r < 240 ? kResults[r % (sizeof kResults / sizeof kResults[0])] : in.Word()));
  s.touchOutputs = in.Byte() != 0;
  s.handle = in.Wide();
  s.protocol = in.Word();
  s.state = in.Word();
  s.data = in.Bytes(255);
  s.length = ReportedLength(in);
  s.atr = in.Bytes(40);
  s.atrLength = ReportedLength(in);
  s.recvPci = in.Bytes(24);
  const uint8_t flags = in.Byte();
  s.allocateOnFailure = (flags & 1) != 0;
  s.leavePointerNull = (flags & 2) != 0;
  // Memory the service allocated is as long as the length it reports: the host cannot check
  // that. Up to the most bytes a reply lists, the fake hands out that much; beyond it, only
  // the data, and the host must then not read the memory at all.
  if (s.length && *s.length > s.data.size() && *s.length <= host::kMaxListedBytes) {
    s.allocatedSize = *s.length;
  }
  s.event = (flags & 8) != 0 ? 0 : in.Wide();
  const uint32_t offset = in.Word();
  const std::vector<uint8_t> patch = in.Bytes(255);
  s.editStates = [offset, patch](uint8_t* records, uint32_t count) {
    const uint64_t size = uint64_t{count} * pcsc::kWireReaderStateSize;
    if (size == 0 || patch.empty()) return;
    const uint64_t start = offset % size;
    std::memcpy(records + start, patch.data(), std::min<uint64_t>(patch.size(), size - start));
  };
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ResetHost();
  Input in{data, size};
  const std::vector<hostile::CommandKeys>& commands = hostile::AllCommands();
  std::string reply;
  for (int step = 0; step < 8 && !in.Empty(); ++step) {
    const hostile::CommandKeys& command = commands[in.Byte() % commands.size()];
    const std::string body = Request(in, command);
    fake::g_service.scripts.clear();
    fake::g_service.scripts.push_back(Script(in));
    fuzz::Output out;
    try {
      host::ServeBody(body, reply, out.file);
    } catch (const fuzz::HostEnded& ended) {
      if (command.code != 122 || ended.status != static_cast<int>(0x80100006u)) {
        fuzz::Fail("host ended unexpectedly");
      }
      fuzz::CheckServiceMemory();
      return 0;  // the documented end: an attribute buffer that cannot be made
    }
    const std::vector<std::string> replies = fuzz::SplitFrames(out.Take());
    if (replies.size() != 1) fuzz::Fail("a well-formed request got no single reply");
    fuzz::CheckReply(replies[0], command.callName, &command.members);
    fuzz::CheckServiceMemory();
  }
  return 0;
}
