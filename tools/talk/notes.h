// Decoded forms of reply members, shown beside the raw reply.
#pragma once

#include <string>
#include <vector>

#include "script.h"

namespace talk {

// One line per member that has a readable form: result codes with their names, handles as hex,
// multi-strings as name lists, byte buffers as hex, states and protocols by name, reader-state
// records field by field.
std::vector<std::string> DescribeReply(const Members& reply);

// Hex text of bytes, grouped for reading ("3B 8A 80 01").
std::string Hex(const Bytes& bytes, size_t limit = 64);

}  // namespace talk
