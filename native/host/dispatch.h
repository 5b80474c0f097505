// The Dispatch table: command code to handler and the PC/SC call whose name heads the reply.
#pragma once

#include <cstdint>

#include "host/turn.h"

namespace host {

using Handler = void (*)(Turn& turn);

struct Command {
  int32_t code;
  const char* callName;
  Handler handler;  // null while the command is not built: it then behaves like an unknown code
};

// The entry for code, or null when the table has none.
const Command* FindCommand(int32_t code);

}  // namespace host
