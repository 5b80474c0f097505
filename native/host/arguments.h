// Reading a command's keys from the request: Number and Text arguments, Handle bytes and the
// process-wide HandleSlots they are copied into.
#pragma once

#include <cstdint>
#include <string>

#include "host/request.h"

namespace host {

// Three process-wide slots, zero at start and never cleared by the host.
struct HandleSlots {
  uint64_t context = 0;  // SCARDCONTEXT
  uint64_t card = 0;     // SCARDHANDLE
  uint64_t event = 0;    // the service-started event
};
extern HandleSlots g_handleSlots;

// A present key (any value, null included) overwrites the cell with its 32 bits: integers give
// their low 32 bits, floats are truncated toward zero, booleans give 1 or 0. Any other type
// raises RequestError. Returns whether the key was present.
bool ReadNumber(const Request& request, const char* key, int32_t& cell);
bool ReadNumber(const Request& request, const char* key, uint32_t& cell);

// The string's text when the key is present, null when absent; any other type raises
// RequestError.
const std::string* ReadText(const Request& request, const char* key);

// True when a Text argument is exactly "NULL", the request's way of saying "no buffer".
bool IsNullText(const std::string* text);

// The number of a key's handle byte count and its eight one-byte keys, byte 0 first.
struct ByteKeySet {
  const char* bytes[8];
};
extern const ByteKeySet kByteKeysS;  // "x", "y", "z", "s", "l", "b", "h", "j"
extern const ByteKeySet kByteKeysW;  // "x", "y", "z", "w", "m", "s", "t", "k"

struct HandleCells {
  int32_t count = 0;
  uint8_t bytes[8] = {};
};

// Reads "p" and the eight byte keys into the command's cells.
void ReadHandleBytes(const Request& request, const ByteKeySet& keys, HandleCells& cells);
// Copies the first "count" staging bytes over the slot's low bytes. The count is clamped to the
// slot's eight bytes; zero or a negative count leaves the slot as it is.
void CopyHandleBytes(const HandleCells& cells, uint64_t& slot);

}  // namespace host
