// The smart-card service as the rest of the host sees it: one plain function per PC/SC call, with
// the wire's fixed widths. Handles are 64-bit, lengths and codes 32-bit, results the 32-bit signed
// code. Every platform difference (type widths, record layouts, A-suffixed names, missing calls)
// stays behind these declarations; the real backend and the test fake each define them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pcsc {

using Result = int32_t;   // LONG result code, as the wire reports it
using Handle = uint64_t;  // SCARDCONTEXT or SCARDHANDLE, byte 0 least significant
using Word = uint32_t;    // DWORD argument or output

constexpr Word kAutoAllocate = 0xFFFFFFFFu;  // the wire's SCARD_AUTOALLOCATE
constexpr Word kInfinite = 0xFFFFFFFFu;      // the wire's INFINITE timeout
constexpr Result kSuccess = 0;
constexpr Result kNoService = static_cast<Result>(0x8010001Du);
constexpr Result kNoMemory = static_cast<Result>(0x80100006u);

// Wire layouts. A PCI record is dwProtocol and cbPciLength as two little-endian 32-bit fields,
// then protocol bytes; a reader-state record is the 200-byte layout below.
constexpr size_t kWirePciHeaderSize = 8;
constexpr size_t kWireReaderStateSize = 200;
constexpr size_t kWireReaderNameSize = 128;
constexpr size_t kWireAtrSize = 36;
// Room for the longest ATR any supported platform reports.
constexpr size_t kAtrBufferSize = 36;

// Returns the service-started event, or 0 when the service is not there.
uint64_t AccessStartedEvent();

Result EstablishContext(Word scope, Handle* context);
Result ReleaseContext(Handle context);
Result Cancel(Handle context);

Result Connect(Handle context, const char* reader, Word shareMode, Word protocols, Handle* card,
               Word* activeProtocol);
Result Reconnect(Handle card, Word shareMode, Word protocols, Word initialization,
                 Word* activeProtocol);
Result Disconnect(Handle card, Word disposition);
Result BeginTransaction(Handle card);
Result EndTransaction(Handle card, Word disposition);

// sendPci/recvPci are wire PCI records of the given real sizes (null for none); they are handed
// to the service as whole platform records and the receive record is translated back in place.
Result Transmit(Handle card, const uint8_t* sendPci, size_t sendPciSize, const uint8_t* send,
                Word sendLength, uint8_t* recvPci, size_t recvPciSize, uint8_t* recv,
                Word* recvLength);
Result Control(Handle card, Word code, const uint8_t* in, Word inSize, uint8_t* out, Word outSize,
               Word* bytesReturned);

// These follow the PC/SC convention for variable outputs: with *length == kAutoAllocate, buffer
// is the address of a pointer that receives memory the service allocated (give it back with
// FreeMemory); otherwise buffer is null or holds *length bytes.
Result GetAttrib(Handle card, Word attributeId, void* buffer, Word* length);
Result Status(Handle card, void* names, Word* namesLength, Word* state, Word* protocol,
              uint8_t* atr, Word* atrLength);
Result ListReaderGroups(Handle context, void* groups, Word* length);
Result ListReaders(Handle context, const char* groups, void* readers, Word* length);

// states is count wire records of kWireReaderStateSize bytes (null when none could be made);
// they are translated to the platform's records for the call and back afterwards.
Result GetStatusChange(Handle context, Word timeout, uint8_t* states, Word count);

Result FreeMemory(Handle context, const void* memory);

}  // namespace pcsc
