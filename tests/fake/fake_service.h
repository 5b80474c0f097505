// A scriptable stand-in for the smart-card service, linked into test binaries instead of the
// real backend. It records every call with its arguments, answers from a queue of scripts, can
// leave outputs untouched, hands out memory for autoallocation and checks that each such pointer
// comes back through FreeMemory exactly once.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pcsc/service.h"

namespace fake {

struct Call {
  std::string name;             // the PC/SC call, e.g. "SCardTransmit"
  uint64_t handle = 0;          // context or card handle the call received
  std::vector<uint32_t> words;  // its 32-bit arguments, in parameter order (lengths as passed in)
  std::string text;             // reader name, or the groups filter up to its double NUL
  bool textNull = false;
  std::vector<uint8_t> input;  // send buffer, control input or reader-state records as passed
  bool inputNull = false;
  std::vector<uint8_t> sendPci;
  bool sendPciNull = false;
  std::vector<uint8_t> recvPci;  // the receive record as passed in
  bool recvPciNull = false;
  bool outputNull = false;    // the output buffer (or names/ATR/attribute buffer) was null
  bool autoAllocate = false;  // the caller asked the service to allocate
  bool atrNull = false;
  const void* freed = nullptr;  // FreeMemory's pointer
};

struct Script {
  pcsc::Result result = pcsc::kSuccess;
  bool touchOutputs = true;             // false: leave every output as the caller set it
  uint64_t handle = 0;                  // new context or card handle
  uint32_t protocol = 0;                // active protocol (connect, reconnect, status)
  uint32_t state = 0;                   // card state (status)
  std::vector<uint8_t> data;            // bytes for the output buffer, list, names or attribute
  std::optional<uint32_t> length;       // length to report instead of data.size() (may lie)
  std::vector<uint8_t> atr;             // status ATR
  std::optional<uint32_t> atrLength;    // ATR length to report instead of atr.size()
  std::vector<uint8_t> recvPci;         // bytes written over the receive PCI record
  bool allocateOnFailure = false;       // hand out memory even when result is an error
  bool leavePointerNull = false;        // autoallocation: report the length, hand out no memory
  std::optional<size_t> allocatedSize;  // autoallocation: bytes handed out (default: the data)
  uint64_t event = 1;                   // AccessStartedEvent's answer
  std::function<void(uint8_t* records, uint32_t count)> editStates;
};

struct Service {
  std::vector<Call> calls;
  std::deque<Script> scripts;         // consumed one per call; an empty queue answers with defaults
  std::set<const void*> outstanding;  // autoallocated memory not yet freed
  int badFrees = 0;                   // FreeMemory of a pointer that was not outstanding
  int allocations = 0;
  bool record = true;  // false: keep no record, for long runs of the fake-service host

  // Calls other than FreeMemory, i.e. what the host asked of the service.
  std::vector<Call> ServiceCalls() const;
  const Call& Last() const;
};

extern Service g_service;

// Clears the record, the scripts and the memory ledger (memory still outstanding is released).
void Reset();

}  // namespace fake
