// A smart-card service that does nothing: every call succeeds at once. Transmit and Control
// answer with their own input, so a benchmark can ask for a large response by sending a large
// command; lists and status report one short reader. Linked instead of tessera_pcsc, it leaves
// the host's own work as the only cost of a request.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "pcsc/service.h"

namespace pcsc {
namespace {

constexpr char kReaders[] = "Bench Reader 00\0";  // the array adds the final NUL
constexpr uint8_t kAtr[] = {0x3B, 0x80, 0x80, 0x01, 0x01};

// The PC/SC convention for variable outputs, with the service's memory from malloc.
Result VariableOutput(const void* data, Word size, void* buffer, Word* length) {
  if (buffer != nullptr && *length == kAutoAllocate) {
    void* memory = std::malloc(size);
    if (memory == nullptr) return kNoMemory;
    std::memcpy(memory, data, size);
    *static_cast<void**>(buffer) = memory;
  } else if (buffer != nullptr) {
    std::memcpy(buffer, data, std::min(size, *length));
  }
  *length = size;
  return kSuccess;
}

}  // namespace

uint64_t AccessStartedEvent() {
  return 1;
}
Result EstablishContext(Word, Handle* context) {
  *context = 0x0102030405060708u;
  return kSuccess;
}
Result ReleaseContext(Handle) {
  return kSuccess;
}
Result Cancel(Handle) {
  return kSuccess;
}
Result Connect(Handle, const char*, Word, Word, Handle* card, Word* activeProtocol) {
  *card = 0x1112131415161718u;
  *activeProtocol = 2;
  return kSuccess;
}
Result Reconnect(Handle, Word, Word, Word, Word* activeProtocol) {
  *activeProtocol = 2;
  return kSuccess;
}
Result Disconnect(Handle, Word) {
  return kSuccess;
}
Result BeginTransaction(Handle) {
  return kSuccess;
}
Result EndTransaction(Handle, Word) {
  return kSuccess;
}

Result Transmit(Handle, const uint8_t*, size_t, const uint8_t* send, Word sendLength, uint8_t*,
                size_t, uint8_t* recv, Word* recvLength) {
  const Word n = send != nullptr && recv != nullptr ? std::min(sendLength, *recvLength) : 0;
  if (n != 0) std::memcpy(recv, send, n);
  *recvLength = n;
  return kSuccess;
}

Result Control(Handle, Word, const uint8_t* in, Word inSize, uint8_t* out, Word outSize,
               Word* bytesReturned) {
  const Word n = in != nullptr && out != nullptr ? std::min(inSize, outSize) : 0;
  if (n != 0) std::memcpy(out, in, n);
  *bytesReturned = n;
  return kSuccess;
}

Result GetAttrib(Handle, Word, void* buffer, Word* length) {
  return VariableOutput(kAtr, sizeof kAtr, buffer, length);
}

Result Status(Handle, void* names, Word* namesLength, Word* state, Word* protocol, uint8_t* atr,
              Word* atrLength) {
  *state = 0x34;
  *protocol = 2;
  if (atr != nullptr) std::memcpy(atr, kAtr, std::min<size_t>(sizeof kAtr, *atrLength));
  *atrLength = sizeof kAtr;
  return VariableOutput(kReaders, sizeof kReaders, names, namesLength);
}

Result ListReaderGroups(Handle, void* groups, Word* length) {
  static const char kGroups[] = "SCard$DefaultReaders\0";
  return VariableOutput(kGroups, sizeof kGroups, groups, length);
}

Result ListReaders(Handle, const char*, void* readers, Word* length) {
  return VariableOutput(kReaders, sizeof kReaders, readers, length);
}

Result GetStatusChange(Handle, Word, uint8_t*, Word) {
  return kSuccess;
}

Result FreeMemory(Handle, const void* memory) {
  std::free(const_cast<void*>(memory));
  return kSuccess;
}

}  // namespace pcsc
