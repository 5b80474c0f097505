// Values whose meaning is the same on WinSCard and pcsc-lite but whose numbers differ. The helper
// turns what the Windows caller sent into pcsc-lite's numbers and pcsc-lite's answers back into
// the numbers a Windows resource manager would give, so the host under wine sees Windows values.
#pragma once

#include <cstdint>

namespace bridge {

// pcsc-lite reports an unsupported feature as 0x8010001F, which WinSCard calls SCARD_E_UNEXPECTED;
// WinSCard's SCARD_E_UNSUPPORTED_FEATURE is 0x80100022. Every other code has the same number.
constexpr uint32_t kLiteUnsupportedFeature = 0x8010001Fu;
constexpr uint32_t kWinUnsupportedFeature = 0x80100022u;

inline uint32_t ResultToWin(uint32_t liteResult) {
  return liteResult == kLiteUnsupportedFeature ? kWinUnsupportedFeature : liteResult;
}

// SCARD_PROTOCOL_RAW is 0x10000 on Windows and 4 in pcsc-lite; T=0 and T=1 agree.
constexpr uint32_t kWinProtocolRaw = 0x00010000u;
constexpr uint32_t kLiteProtocolRaw = 0x00000004u;

inline uint32_t ProtocolToLite(uint32_t win) {
  return (win & kWinProtocolRaw) != 0 ? (win & ~kWinProtocolRaw) | kLiteProtocolRaw : win;
}

inline uint32_t ProtocolToWin(uint32_t lite) {
  return (lite & kLiteProtocolRaw) != 0 ? (lite & ~kLiteProtocolRaw) | kWinProtocolRaw : lite;
}

// SCARD_CTL_CODE(c) is CTL_CODE(FILE_DEVICE_SMARTCARD, c, METHOD_BUFFERED, FILE_ANY_ACCESS) on
// Windows and 0x42000000 + c in pcsc-lite. Codes not of the Windows form pass unchanged.
inline uint32_t ControlCodeToLite(uint32_t win) {
  constexpr uint32_t kDeviceSmartCard = 0x00310000u;
  constexpr uint32_t kFixedBits = 0xFFFFC003u;  // device type, access and method
  if ((win & kFixedBits) != kDeviceSmartCard) return win;
  return 0x42000000u + ((win >> 2) & 0xFFFu);
}

// SCardStatus's state: pcsc-lite sets one bit per stage reached (0x1 unknown ... 0x40 specific);
// WinSCard reports the stage itself, SCARD_UNKNOWN 0 to SCARD_SPECIFIC 6.
inline uint32_t CardStateToWin(uint32_t lite) {
  for (uint32_t stage = 6; stage > 0; --stage) {
    if ((lite & (1u << stage)) != 0) return stage;
  }
  return 0;
}

}  // namespace bridge
