#include "host/end_host.h"

#include <cstdlib>

namespace host {

void EndHost(int status) {
  std::exit(status);
}

}  // namespace host
