// Translation between the wire's fixed record layouts and the platform's PC/SC records, whose
// field widths differ (pcsc-lite on 64-bit Linux: 8-byte DWORDs and a 33-byte ATR; WinSCard:
// 4-byte DWORDs and a 36-byte ATR). Templates over the platform type, so that every layout can
// be checked on any machine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pcsc/service.h"

namespace pcsc {

inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// A platform length or count back to the wire's 32 bits; larger values saturate, so the all-ones
// DWORD of a 64-bit platform stays the wire's 4294967295.
template <typename Dword>
Word ToWord(Dword value) {
  return static_cast<uint64_t>(value) > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<Word>(value);
}

// ---- SCARD_IO_REQUEST -------------------------------------------------------------------------

// Bytes of the platform record that carries a wire record of wireSize bytes: the platform header,
// then the wire's protocol bytes after its 8-byte header. A short wire record still gets a whole
// header.
template <typename IoRequest>
size_t PlatformPciSize(size_t wireSize) {
  return sizeof(IoRequest) + (wireSize > kWirePciHeaderSize ? wireSize - kWirePciHeaderSize : 0);
}

// cbPciLength counts the whole record, header included, so it moves by the headers' difference.
template <typename IoRequest>
uint64_t PciLengthToPlatform(uint32_t wireLength) {
  if (wireLength < kWirePciHeaderSize) return wireLength;
  return uint64_t{wireLength} - kWirePciHeaderSize + sizeof(IoRequest);
}

template <typename IoRequest>
uint32_t PciLengthToWire(uint64_t platformLength) {
  if (platformLength < sizeof(IoRequest)) return ToWord(platformLength);
  return ToWord(platformLength - sizeof(IoRequest) + kWirePciHeaderSize);
}

// platform must hold PlatformPciSize<IoRequest>(wireSize) bytes, suitably aligned. The length the
// service sees never claims more than the platform record really holds.
template <typename IoRequest>
void PciToPlatform(const uint8_t* wire, size_t wireSize, IoRequest* platform) {
  uint8_t header[kWirePciHeaderSize] = {};
  std::memcpy(header, wire, std::min(wireSize, kWirePciHeaderSize));
  const size_t platformSize = PlatformPciSize<IoRequest>(wireSize);
  std::memset(static_cast<void*>(platform), 0, platformSize);
  platform->dwProtocol = LoadLe32(header);
  const uint64_t length = PciLengthToPlatform<IoRequest>(LoadLe32(header + 4));
  platform->cbPciLength =
      static_cast<decltype(platform->cbPciLength)>(std::min<uint64_t>(length, platformSize));
  if (wireSize > kWirePciHeaderSize) {
    std::memcpy(reinterpret_cast<uint8_t*>(platform) + sizeof(IoRequest), wire + kWirePciHeaderSize,
                wireSize - kWirePciHeaderSize);
  }
}

// Writes at most wireSize bytes of wire.
template <typename IoRequest>
void PciFromPlatform(const IoRequest* platform, uint8_t* wire, size_t wireSize) {
  uint8_t header[kWirePciHeaderSize];
  StoreLe32(header, ToWord(platform->dwProtocol));
  StoreLe32(header + 4, PciLengthToWire<IoRequest>(platform->cbPciLength));
  std::memcpy(wire, header, std::min(wireSize, kWirePciHeaderSize));
  if (wireSize > kWirePciHeaderSize) {
    std::memcpy(wire + kWirePciHeaderSize,
                reinterpret_cast<const uint8_t*>(platform) + sizeof(IoRequest),
                wireSize - kWirePciHeaderSize);
  }
}

// ---- SCARD_READERSTATE ------------------------------------------------------------------------

// Wire offsets of the reader-state record.
constexpr size_t kStateUserData = 128;
constexpr size_t kStateCurrent = 136;
constexpr size_t kStateEvent = 144;
constexpr size_t kStateAtrLength = 152;
constexpr size_t kStateAtr = 160;

// Room for a name that fills its whole wire field, plus the terminator the service needs.
struct ReaderNameCopy {
  char text[kWireReaderNameSize + 1];
};

// Fills count zeroed platform records from count wire records. A name stays in place in the wire
// buffer when it ends within its field; one without a terminator is copied into nameCopies[i] and
// terminated there, so the service never reads past the field.
template <typename ReaderState>
void ReaderStatesToPlatform(const uint8_t* wire, size_t count, ReaderState* platform,
                            ReaderNameCopy* nameCopies) {
  using Dword = decltype(platform->dwCurrentState);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* record = wire + i * kWireReaderStateSize;
    ReaderState& state = platform[i];
    std::memset(static_cast<void*>(&state), 0, sizeof state);
    const char* name = reinterpret_cast<const char*>(record);
    if (name[0] != '\0') {
      if (std::memchr(name, '\0', kWireReaderNameSize) != nullptr) {
        state.szReader = name;
      } else {
        std::memcpy(nameCopies[i].text, name, kWireReaderNameSize);
        nameCopies[i].text[kWireReaderNameSize] = '\0';
        state.szReader = nameCopies[i].text;
      }
    }
    uint64_t userData;
    std::memcpy(&userData, record + kStateUserData, sizeof userData);
    state.pvUserData = reinterpret_cast<void*>(static_cast<uintptr_t>(userData));
    state.dwCurrentState = static_cast<Dword>(LoadLe32(record + kStateCurrent));
    state.dwEventState = static_cast<Dword>(LoadLe32(record + kStateEvent));
    // The service may trust cbAtr against rgbAtr: never let it claim more than the array holds.
    state.cbAtr = static_cast<Dword>(
        std::min<uint64_t>(LoadLe32(record + kStateAtrLength), sizeof state.rgbAtr));
    std::memcpy(state.rgbAtr, record + kStateAtr, std::min(sizeof state.rgbAtr, kWireAtrSize));
  }
}

// Rebuilds count wire records from the platform records as the call left them. The name keeps
// the bytes the request gave up to its terminator; every byte the record does not carry is zero.
// wire must still hold the records as ReaderStatesToPlatform read them.
template <typename ReaderState>
void ReaderStatesFromPlatform(const ReaderState* platform, size_t count, uint8_t* wire) {
  for (size_t i = 0; i < count; ++i) {
    uint8_t* record = wire + i * kWireReaderStateSize;
    const ReaderState& state = platform[i];
    // The ATR length was clamped only for the platform record: one the service left as it was
    // passed goes back as the request sent it.
    const uint32_t sentAtrLength = LoadLe32(record + kStateAtrLength);
    const bool atrLengthUntouched =
        uint64_t{state.cbAtr} == std::min<uint64_t>(sentAtrLength, sizeof state.rgbAtr);
    const void* end = std::memchr(record, '\0', kWireReaderNameSize);
    if (end != nullptr) {
      const size_t used = static_cast<size_t>(static_cast<const uint8_t*>(end) - record);
      std::memset(record + used, 0, kWireReaderNameSize - used);
    }
    std::memset(record + kWireReaderNameSize, 0, kWireReaderStateSize - kWireReaderNameSize);
    const uint64_t userData = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(state.pvUserData));
    std::memcpy(record + kStateUserData, &userData, sizeof userData);
    StoreLe32(record + kStateCurrent, ToWord(state.dwCurrentState));
    StoreLe32(record + kStateEvent, ToWord(state.dwEventState));
    StoreLe32(record + kStateAtrLength, atrLengthUntouched ? sentAtrLength : ToWord(state.cbAtr));
    std::memcpy(record + kStateAtr, state.rgbAtr, std::min(sizeof state.rgbAtr, kWireAtrSize));
  }
}

}  // namespace pcsc
