// The card side of vpcd's TCP protocol: every message is a 2-byte big-endian length and a payload.
// A 1-byte payload from the reader is a control message; anything longer is a command APDU.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_text.h"

namespace vcard {

using Bytes = std::vector<uint8_t>;

// vpcd's control messages.
constexpr uint8_t kPowerOff = 0;
constexpr uint8_t kPowerOn = 1;
constexpr uint8_t kReset = 2;
constexpr uint8_t kGetAtr = 4;

// The 2-byte length caps every message, a response's status word included.
constexpr size_t kMaxMessage = 65535;

// Connects to the reader's port, retrying until timeoutMs has passed; TCP_NODELAY is set so that
// small answers leave at once. Returns the socket, or -1.
int ConnectToReader(const std::string& host, int port, int timeoutMs);

enum class ReadResult { kMessage, kClosed, kError };
// Reads one whole message (blocking).
ReadResult ReadMessage(int fd, Bytes& payload);
// Writes one message; false when the payload is too long or the write fails.
bool WriteMessage(int fd, const Bytes& payload);

// Hex text of bytes ("3B8A80"), and back; whitespace, ':' and '-' are ignored when parsing.
using bytetext::FromHex;
using bytetext::ToHex;

}  // namespace vcard
