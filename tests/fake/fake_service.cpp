#include "fake_service.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace fake {

Service g_service;

std::vector<Call> Service::ServiceCalls() const {
  std::vector<Call> result;
  for (const Call& call : calls) {
    if (call.name != "SCardFreeMemory") result.push_back(call);
  }
  return result;
}

const Call& Service::Last() const {
  if (calls.empty()) throw std::logic_error("no call recorded");
  return calls.back();
}

void Reset() {
  for (const void* p : g_service.outstanding) std::free(const_cast<void*>(p));
  g_service = Service{};
}

namespace {

Script Next() {
  if (g_service.scripts.empty()) return Script{};
  Script script = std::move(g_service.scripts.front());
  g_service.scripts.pop_front();
  return script;
}

Call& Record(const char* name, uint64_t handle) {
  static Call scratch;
  if (!g_service.record) {
    scratch = Call{};
    return scratch;
  }
  g_service.calls.push_back(Call{});
  Call& call = g_service.calls.back();
  call.name = name;
  call.handle = handle;
  return call;
}

// Records at most the first 32 MiB of an input: the host makes client-sized buffers of up to
// 4 GiB that cost memory only where written, and copying them whole would cost it here. Without
// a record nothing is copied, so the fake-service host's memory stays the host's own.
std::vector<uint8_t> Bytes(const uint8_t* p, size_t n) {
  constexpr size_t kRecordLimit = 32u * 1024 * 1024;
  return p == nullptr || !g_service.record ? std::vector<uint8_t>{}
                                           : std::vector<uint8_t>(p, p + std::min(n, kRecordLimit));
}

// Copies the first n bytes of source; memcpy may not see the null data of an empty vector.
void CopyOut(void* target, const std::vector<uint8_t>& source, size_t n) {
  if (n != 0) std::memcpy(target, source.data(), n);
}

uint32_t Reported(const Script& s) {
  return s.length ? *s.length : static_cast<uint32_t>(s.data.size());
}

// A variable output in the PC/SC convention. Never writes more than the caller's buffer holds.
void VariableOutput(Call& call, const Script& s, void* buffer, pcsc::Word* length) {
  call.outputNull = buffer == nullptr;
  call.autoAllocate = *length == pcsc::kAutoAllocate && buffer != nullptr;
  if (!s.touchOutputs) return;
  if (call.autoAllocate) {
    if (s.result != pcsc::kSuccess && !s.allocateOnFailure) return;
    if (!s.leavePointerNull) {
      const size_t size = std::max<size_t>(s.allocatedSize.value_or(s.data.size()), 1);
      void* memory = std::malloc(size);
      if (memory == nullptr) throw std::bad_alloc();
      CopyOut(memory, s.data, std::min(size, s.data.size()));
      *static_cast<void**>(buffer) = memory;
      g_service.outstanding.insert(memory);
      ++g_service.allocations;
    }
  } else if (buffer != nullptr) {
    CopyOut(buffer, s.data, std::min<size_t>(s.data.size(), *length));
  }
  *length = Reported(s);
}

}  // namespace
}  // namespace fake

namespace pcsc {

using fake::g_service;

uint64_t AccessStartedEvent() {
  fake::Record("SCardAccessStartedEvent", 0);
  return fake::Next().event;
}

Result EstablishContext(Word scope, Handle* context) {
  fake::Call& call = fake::Record("SCardEstablishContext", *context);
  call.words = {scope};
  const fake::Script s = fake::Next();
  if (s.touchOutputs) *context = s.handle;
  return s.result;
}

Result ReleaseContext(Handle context) {
  fake::Record("SCardReleaseContext", context);
  return fake::Next().result;
}

Result Cancel(Handle context) {
  fake::Record("SCardCancel", context);
  return fake::Next().result;
}

Result Connect(Handle context, const char* reader, Word shareMode, Word protocols, Handle* card,
               Word* activeProtocol) {
  fake::Call& call = fake::Record("SCardConnectA", context);
  call.words = {shareMode, protocols, static_cast<Word>(*card), *activeProtocol};
  call.textNull = reader == nullptr;
  if (reader != nullptr) call.text = reader;
  const fake::Script s = fake::Next();
  if (s.touchOutputs) {
    *card = s.handle;
    *activeProtocol = s.protocol;
  }
  return s.result;
}

Result Reconnect(Handle card, Word shareMode, Word protocols, Word initialization,
                 Word* activeProtocol) {
  fake::Call& call = fake::Record("SCardReconnect", card);
  call.words = {shareMode, protocols, initialization, *activeProtocol};
  const fake::Script s = fake::Next();
  if (s.touchOutputs) *activeProtocol = s.protocol;
  return s.result;
}

Result Disconnect(Handle card, Word disposition) {
  fake::Record("SCardDisconnect", card).words = {disposition};
  return fake::Next().result;
}

Result BeginTransaction(Handle card) {
  fake::Record("SCardBeginTransaction", card);
  return fake::Next().result;
}

Result EndTransaction(Handle card, Word disposition) {
  fake::Record("SCardEndTransaction", card).words = {disposition};
  return fake::Next().result;
}

Result Transmit(Handle card, const uint8_t* sendPci, size_t sendPciSize, const uint8_t* send,
                Word sendLength, uint8_t* recvPci, size_t recvPciSize, uint8_t* recv,
                Word* recvLength) {
  fake::Call& call = fake::Record("SCardTransmit", card);
  call.words = {sendLength, *recvLength};
  call.sendPci = fake::Bytes(sendPci, sendPciSize);
  call.sendPciNull = sendPci == nullptr;
  call.input = fake::Bytes(send, sendLength);
  call.inputNull = send == nullptr;
  call.recvPci = fake::Bytes(recvPci, recvPciSize);
  call.recvPciNull = recvPci == nullptr;
  call.outputNull = recv == nullptr;
  const fake::Script s = fake::Next();
  if (s.touchOutputs) {
    if (recv != nullptr) {
      fake::CopyOut(recv, s.data, std::min<size_t>(s.data.size(), *recvLength));
    }
    *recvLength = fake::Reported(s);
    if (recvPci != nullptr) {
      fake::CopyOut(recvPci, s.recvPci, std::min(s.recvPci.size(), recvPciSize));
    }
  }
  return s.result;
}

Result Control(Handle card, Word code, const uint8_t* in, Word inSize, uint8_t* out, Word outSize,
               Word* bytesReturned) {
  fake::Call& call = fake::Record("SCardControl", card);
  call.words = {code, inSize, outSize, *bytesReturned};
  call.input = fake::Bytes(in, inSize);
  call.inputNull = in == nullptr;
  call.outputNull = out == nullptr;
  const fake::Script s = fake::Next();
  if (s.touchOutputs) {
    if (out != nullptr) fake::CopyOut(out, s.data, std::min<size_t>(s.data.size(), outSize));
    *bytesReturned = fake::Reported(s);
  }
  return s.result;
}

Result GetAttrib(Handle card, Word attributeId, void* buffer, Word* length) {
  fake::Call& call = fake::Record("SCardGetAttrib", card);
  call.words = {attributeId, *length};
  const fake::Script s = fake::Next();
  fake::VariableOutput(call, s, buffer, length);
  return s.result;
}

Result Status(Handle card, void* names, Word* namesLength, Word* state, Word* protocol,
              uint8_t* atr, Word* atrLength) {
  fake::Call& call = fake::Record("SCardStatusA", card);
  call.words = {*namesLength, *atrLength};
  call.atrNull = atr == nullptr;
  const fake::Script s = fake::Next();
  fake::VariableOutput(call, s, names, namesLength);
  if (s.touchOutputs) {
    *state = s.state;
    *protocol = s.protocol;
    if (atr != nullptr) fake::CopyOut(atr, s.atr, std::min<size_t>(s.atr.size(), *atrLength));
    *atrLength = s.atrLength ? *s.atrLength : static_cast<Word>(s.atr.size());
  }
  return s.result;
}

Result ListReaderGroups(Handle context, void* groups, Word* length) {
  fake::Call& call = fake::Record("SCardListReaderGroupsA", context);
  call.words = {*length};
  const fake::Script s = fake::Next();
  fake::VariableOutput(call, s, groups, length);
  return s.result;
}

Result ListReaders(Handle context, const char* groups, void* readers, Word* length) {
  fake::Call& call = fake::Record("SCardListReadersA", context);
  call.words = {*length};
  call.textNull = groups == nullptr;
  if (groups != nullptr) {
    // A multi-string: names up to the empty one.
    const char* p = groups;
    while (*p != '\0') p += std::strlen(p) + 1;
    call.text.assign(groups, static_cast<size_t>(p - groups) + 1);
  }
  const fake::Script s = fake::Next();
  fake::VariableOutput(call, s, readers, length);
  return s.result;
}

Result GetStatusChange(Handle context, Word timeout, uint8_t* states, Word count) {
  fake::Call& call = fake::Record("SCardGetStatusChangeA", context);
  call.words = {timeout, count};
  call.inputNull = states == nullptr;
  if (states != nullptr) call.input = fake::Bytes(states, size_t{count} * kWireReaderStateSize);
  const fake::Script s = fake::Next();
  if (s.touchOutputs && s.editStates && states != nullptr) s.editStates(states, count);
  return s.result;
}

Result FreeMemory(Handle context, const void* memory) {
  fake::Record("SCardFreeMemory", context).freed = memory;
  if (g_service.outstanding.erase(memory) == 1) {
    std::free(const_cast<void*>(memory));
  } else {
    ++g_service.badFrees;
  }
  return kSuccess;
}

}  // namespace pcsc
