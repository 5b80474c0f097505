// Drives the host's main loop in-process over the fake service.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "fake_service.h"

namespace harness {

// Zero HandleSlots and argument cells, and a fresh fake service.
void ResetHost();

// Runs the main loop over raw input bytes; returns the raw output bytes and the exit status.
std::string RunRaw(const std::string& input, int* status = nullptr);

// A frame: the 4-byte little-endian length, then the body.
std::string Frame(const std::string& body);

// Frames each body, runs the host over all of them, and returns the reply bodies in order.
std::vector<std::string> Serve(const std::vector<std::string>& bodies);
// One request, expecting exactly one reply.
std::string Ask(const std::string& body);

// The reply's members in order, decoded; fails the test when it is not a flat object of strings.
using Members = std::vector<std::pair<std::string, std::string>>;
Members Decode(const std::string& reply);
// The value of one member, or "<absent>".
std::string Member(const std::string& reply, const std::string& key);
// The member names, in order.
std::vector<std::string> Keys(const std::string& reply);

// A Byte list text of bytes, for building requests.
std::string ByteList(const std::vector<uint8_t>& bytes);
// Parses a Byte list text back into bytes ("NULL" gives none).
std::vector<uint8_t> ParseByteList(const std::string& text);

}  // namespace harness
