// Memory that the smart-card service allocated for one request. It goes back through
// SCardFreeMemory exactly once, when the handler is done, which is after its reply was written,
// also when the call failed or the turn was cut short.
#pragma once

#include "host/arguments.h"
#include "host/buffers.h"
#include "pcsc/service.h"

namespace commands {

struct ServiceMemory {
  void* pointer = nullptr;
  ServiceMemory() = default;
  ServiceMemory(const ServiceMemory&) = delete;
  ServiceMemory& operator=(const ServiceMemory&) = delete;
  ~ServiceMemory() {
    if (pointer != nullptr) pcsc::FreeMemory(host::g_handleSlots.context, pointer);
  }
  const uint8_t* bytes() const { return static_cast<const uint8_t*>(pointer); }
  // How many bytes to list: the length the service reported for its memory, or none when no
  // memory came back or the length is beyond any list (a service reporting 4294967295 must not
  // make the host read and format gigabytes it never handed out).
  int64_t Listed(uint32_t length) const {
    return pointer != nullptr && length <= host::kMaxListedBytes ? length : 0;
  }
};

}  // namespace commands
