// One turn of the main loop, as a command handler sees it.
#pragma once

#include <cstdio>
#include <string>

#include "host/request.h"

namespace host {

struct Turn {
  const Request& request;
  const std::string& id;    // "i", echoed first in the reply
  const std::string& echo;  // "e", echoed as "resp"
  std::string& reply;       // the outgoing frame: prefix placeholder, then the JSON text
  std::FILE* out;
};

}  // namespace host
