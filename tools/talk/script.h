// Script lines for the host: JSON requests with placeholders that refer to what earlier replies
// returned, so that a session can be written as plain JSON lines.
//
// Placeholders (members whose key starts with "$", removed before the request is sent):
//   "$context": true | "S" | "W"   the last established context as "p" 8 and the byte keys
//                                  (set W for commands 109 and 160, set S otherwise)
//   "$card": true | "S"            the last connected card handle, the same way
//   "$apdu": "00A4040000"          "g" as a Byte list and "q" as its length (also for 111)
//   "$pci": true                   send and receive PCI records ("w","n","m","d") for the
//                                  protocol of the last connect or reconnect
//   "$wait": [{"reader": "...", "current": N | "$last"}, ...]
//                                  reader-state records ("k") and their count ("w"); "$last" is
//                                  the event state the last 133 reply gave for that reader
//   "$meanwhile": "shell command"  run while the host works on this request (e.g. remove a card)
// String values "$reader0", "$reader1", ... are the names the last 149 reply listed.
// "i" is added when a line has none.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "byte_text.h"

namespace talk {

using Json = nlohmann::ordered_json;
using Bytes = std::vector<uint8_t>;
using Members = std::vector<std::pair<std::string, std::string>>;

struct SessionState {
  Bytes context;
  Bytes card;
  uint32_t protocol = 0;
  std::vector<std::string> readers;
  std::map<std::string, uint32_t> lastEventState;  // by reader name
  int nextId = 1;
};

struct Expanded {
  Json request;
  std::string meanwhile;
  std::string error;  // not empty when the line cannot be used
  // Keys that a placeholder and the line (or two placeholders) both set, such as "b" beside
  // "$card": true, where "b" is a byte of the card handle. The request is still sent.
  std::vector<std::string> warnings;
};

Expanded ExpandLine(const std::string& line, SessionState& state);
// Takes note of the handles, readers and states a reply carries.
void Learn(const Json& request, const Members& reply, SessionState& state);

using bytetext::ByteList;
using bytetext::FromHex;
using bytetext::ParseByteList;

}  // namespace talk
