// Reply building: one JSON object, hand-assembled in a fixed member order, every value a string,
// no white space.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/turn.h"

namespace host {

// "i", the call's result member and "resp".
void BeginReply(Turn& turn, std::string_view callName, int32_t result);
// A member whose value needs no escaping (digits, "-", "," or "NULL").
void AddMember(Turn& turn, std::string_view key, std::string_view value);
void AddNumberMember(Turn& turn, std::string_view key, uint32_t value);
// The Byte list of length bytes, or "NULL" when that gives no text.
void AddByteListMember(Turn& turn, std::string_view key, const uint8_t* bytes, int64_t length);
// The count text "8" and the decimal of each of the handle's bytes, byte 0 first.
void AddHandleText(Turn& turn, std::string_view countKey, const char* const byteKeys[8],
                   uint64_t handle);
// Closes the object and writes the frame.
void SendReply(Turn& turn);
// Writes out the replies of earlier requests that are still held: called before every call
// into the smart-card service, which may keep the host waiting.
void SendHeldReplies(Turn& turn);

// JSON string content of text, escaped as RFC 8259 requires.
void AppendEscaped(std::string& out, std::string_view text);

}  // namespace host
