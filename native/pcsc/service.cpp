// The real backend: WinSCard on Windows, pcsc-lite on Linux and macOS. Each function converts the
// wire's widths to the platform's, makes exactly one call and converts the outputs back.
#include "pcsc/service.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "pcsc/platform.h"
#include "pcsc/records.h"

namespace pcsc {
namespace {

Result ToResult(LONG rv) {
  return static_cast<Result>(static_cast<uint32_t>(rv));
}

// 4294967295 on the wire is SCARD_AUTOALLOCATE, which is the all-ones DWORD of the platform.
DWORD LengthIn(Word length) {
  return length == kAutoAllocate ? static_cast<DWORD>(SCARD_AUTOALLOCATE) : DWORD{length};
}

DWORD TimeoutIn(Word timeout) {
  return timeout == kInfinite ? static_cast<DWORD>(INFINITE) : DWORD{timeout};
}

SCARDCONTEXT ContextIn(Handle h) {
  return static_cast<SCARDCONTEXT>(h);
}
SCARDHANDLE CardIn(Handle h) {
  return static_cast<SCARDHANDLE>(h);
}
Handle HandleOut(uint64_t h) {
  return h;
}

// A variable output in the PC/SC convention: with autoallocation the buffer argument is the
// address of the caller's pointer; the platform's pointer type is the same, only its name differs.
template <typename Pointer>
Pointer OutputBuffer(void* buffer) {
  return static_cast<Pointer>(buffer);
}

// Storage for a platform SCARD_IO_REQUEST followed by protocol bytes, aligned for the record.
std::unique_ptr<SCARD_IO_REQUEST[]> MakePciRecord(size_t bytes) {
  const size_t records = (bytes + sizeof(SCARD_IO_REQUEST) - 1) / sizeof(SCARD_IO_REQUEST);
  return std::unique_ptr<SCARD_IO_REQUEST[]>(new (std::nothrow) SCARD_IO_REQUEST[records]);
}

}  // namespace

uint64_t AccessStartedEvent() {
#ifdef _WIN32
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(SCardAccessStartedEvent()));
#else
  // pcsc-lite has no started event. The service counts as started once it answers: a context
  // can be established and released. The value stands for "an event" and is never used as one.
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    return 0;
  }
  SCardReleaseContext(context);
  return 1;
#endif
}

Result EstablishContext(Word scope, Handle* context) {
  SCARDCONTEXT value = ContextIn(*context);
  const LONG rv = SCardEstablishContext(scope, nullptr, nullptr, &value);
  *context = HandleOut(static_cast<uint64_t>(value));
  return ToResult(rv);
}

Result ReleaseContext(Handle context) {
  return ToResult(SCardReleaseContext(ContextIn(context)));
}

Result Cancel(Handle context) {
  return ToResult(SCardCancel(ContextIn(context)));
}

Result Connect(Handle context, const char* reader, Word shareMode, Word protocols, Handle* card,
               Word* activeProtocol) {
  SCARDHANDLE cardValue = CardIn(*card);
  DWORD active = *activeProtocol;
  const LONG rv = TESSERA_SCARD_A(SCardConnect)(ContextIn(context), reader, shareMode, protocols,
                                                &cardValue, &active);
  *card = HandleOut(static_cast<uint64_t>(cardValue));
  *activeProtocol = ToWord(active);
  return ToResult(rv);
}

Result Reconnect(Handle card, Word shareMode, Word protocols, Word initialization,
                 Word* activeProtocol) {
  DWORD active = *activeProtocol;
  const LONG rv = SCardReconnect(CardIn(card), shareMode, protocols, initialization, &active);
  *activeProtocol = ToWord(active);
  return ToResult(rv);
}

Result Disconnect(Handle card, Word disposition) {
  return ToResult(SCardDisconnect(CardIn(card), disposition));
}

Result BeginTransaction(Handle card) {
  return ToResult(SCardBeginTransaction(CardIn(card)));
}

Result EndTransaction(Handle card, Word disposition) {
  return ToResult(SCardEndTransaction(CardIn(card), disposition));
}

Result Transmit(Handle card, const uint8_t* sendPci, size_t sendPciSize, const uint8_t* send,
                Word sendLength, uint8_t* recvPci, size_t recvPciSize, uint8_t* recv,
                Word* recvLength) {
  std::unique_ptr<SCARD_IO_REQUEST[]> platformSend;
  std::unique_ptr<SCARD_IO_REQUEST[]> platformRecv;
  if (sendPci != nullptr) {
    platformSend = MakePciRecord(PlatformPciSize<SCARD_IO_REQUEST>(sendPciSize));
    if (!platformSend) return kNoMemory;
    PciToPlatform(sendPci, sendPciSize, platformSend.get());
  }
  if (recvPci != nullptr) {
    platformRecv = MakePciRecord(PlatformPciSize<SCARD_IO_REQUEST>(recvPciSize));
    if (!platformRecv) return kNoMemory;
    PciToPlatform(recvPci, recvPciSize, platformRecv.get());
  }
  DWORD received = *recvLength;
  const LONG rv = SCardTransmit(CardIn(card), platformSend.get(), send, sendLength,
                                platformRecv.get(), recv, &received);
  *recvLength = ToWord(received);
  if (platformRecv) PciFromPlatform(platformRecv.get(), recvPci, recvPciSize);
  return ToResult(rv);
}

Result Control(Handle card, Word code, const uint8_t* in, Word inSize, uint8_t* out, Word outSize,
               Word* bytesReturned) {
  DWORD returned = *bytesReturned;
  const LONG rv = SCardControl(CardIn(card), code, in, inSize, out, outSize, &returned);
  *bytesReturned = ToWord(returned);
  return ToResult(rv);
}

Result GetAttrib(Handle card, Word attributeId, void* buffer, Word* length) {
  DWORD platformLength = LengthIn(*length);
  const LONG rv =
      SCardGetAttrib(CardIn(card), attributeId, OutputBuffer<LPBYTE>(buffer), &platformLength);
  *length = ToWord(platformLength);
  return ToResult(rv);
}

Result Status(Handle card, void* names, Word* namesLength, Word* state, Word* protocol,
              uint8_t* atr, Word* atrLength) {
  DWORD platformNamesLength = LengthIn(*namesLength);
#ifndef _WIN32
  // pcsc-lite writes zeros over the whole of a caller's names buffer, however long, while a name
  // is at most MAX_READERNAME bytes: a larger offer would only turn untouched pages of the
  // client-sized buffer into resident memory. A length the call leaves as passed goes back as
  // the request gave it.
  constexpr DWORD kNamesOfferLimit = 64 * 1024;
  const bool namesCapped =
      names != nullptr && *namesLength != kAutoAllocate && platformNamesLength > kNamesOfferLimit;
  if (namesCapped) platformNamesLength = kNamesOfferLimit;
#endif
  DWORD platformState = *state;
  DWORD platformProtocol = *protocol;
  DWORD platformAtrLength = *atrLength;
  const LONG rv =
      TESSERA_SCARD_A(SCardStatus)(CardIn(card), OutputBuffer<LPSTR>(names), &platformNamesLength,
                                   &platformState, &platformProtocol, atr, &platformAtrLength);
#ifndef _WIN32
  if (namesCapped && platformNamesLength == kNamesOfferLimit) platformNamesLength = *namesLength;
#endif
  *namesLength = ToWord(platformNamesLength);
  *state = ToWord(platformState);
  *protocol = ToWord(platformProtocol);
  *atrLength = ToWord(platformAtrLength);
  return ToResult(rv);
}

Result ListReaderGroups(Handle context, void* groups, Word* length) {
  DWORD platformLength = LengthIn(*length);
  const LONG rv = TESSERA_SCARD_A(SCardListReaderGroups)(
      ContextIn(context), OutputBuffer<LPSTR>(groups), &platformLength);
  *length = ToWord(platformLength);
  return ToResult(rv);
}

Result ListReaders(Handle context, const char* groups, void* readers, Word* length) {
  DWORD platformLength = LengthIn(*length);
  const LONG rv = TESSERA_SCARD_A(SCardListReaders)(ContextIn(context), groups,
                                                    OutputBuffer<LPSTR>(readers), &platformLength);
  *length = ToWord(platformLength);
  return ToResult(rv);
}

Result GetStatusChange(Handle context, Word timeout, uint8_t* states, Word count) {
  std::vector<PlatformReaderState> platform;
  std::vector<ReaderNameCopy> names;
  if (states != nullptr && count != 0) {
    try {
      platform.resize(count);
      names.resize(count);
    } catch (const std::bad_alloc&) {
      return kNoMemory;
    }
    ReaderStatesToPlatform(states, count, platform.data(), names.data());
  }
  const LONG rv = TESSERA_SCARD_A(SCardGetStatusChange)(
      ContextIn(context), TimeoutIn(timeout), platform.empty() ? nullptr : platform.data(), count);
  if (!platform.empty()) ReaderStatesFromPlatform(platform.data(), count, states);
  return ToResult(rv);
}

Result FreeMemory(Handle context, const void* memory) {
  const LONG rv = SCardFreeMemory(ContextIn(context), memory);
#ifndef _WIN32
  // pcsc-lite hands out its own heap memory, also from calls that failed on a bad handle, but
  // SCardFreeMemory frees nothing unless the context is live. What the service handed out is
  // released all the same.
  if (rv != SCARD_S_SUCCESS) std::free(const_cast<void*>(memory));
#endif
  return ToResult(rv);
}

}  // namespace pcsc
