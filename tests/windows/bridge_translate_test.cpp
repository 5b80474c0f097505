// The numbers the bridge helper changes between pcsc-lite and WinSCard. A wrong entry here would
// make the host under wine report values no Windows machine gives.
#include <gtest/gtest.h>

#include "translate.h"

namespace {

TEST(BridgeTranslate, ResultCodes) {
  const struct {
    uint32_t lite, win;
  } cases[] = {
      {0x00000000u, 0x00000000u},  // success
      {0x8010001Fu, 0x80100022u},  // SCARD_E_UNSUPPORTED_FEATURE
      {0x80100003u, 0x80100003u},  // SCARD_E_INVALID_HANDLE: same on both
      {0x8010001Du, 0x8010001Du},  // SCARD_E_NO_SERVICE
      {0x80100022u, 0x80100022u},  // pcsc-lite never sends it; kept as it is
  };
  for (const auto& c : cases) EXPECT_EQ(bridge::ResultToWin(c.lite), c.win) << std::hex << c.lite;
}

TEST(BridgeTranslate, ProtocolsBothWays) {
  const struct {
    uint32_t win, lite;
  } cases[] = {
      {0x0u, 0x0u}, {0x1u, 0x1u}, {0x2u, 0x2u}, {0x3u, 0x3u}, {0x10000u, 0x4u}, {0x10003u, 0x7u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bridge::ProtocolToLite(c.win), c.lite) << std::hex << c.win;
    EXPECT_EQ(bridge::ProtocolToWin(c.lite), c.win) << std::hex << c.lite;
  }
}

TEST(BridgeTranslate, ControlCodes) {
  const struct {
    uint32_t win, lite;
  } cases[] = {
      {0x00313520u, 0x42000D48u},  // SCARD_CTL_CODE(3400), the CCID escape
      {0x00310000u, 0x42000000u},  // SCARD_CTL_CODE(0)
      {0x00313FFCu, 0x42000FFFu},  // the highest function number
      {0x42000D48u, 0x42000D48u},  // already pcsc-lite's form
      {0x00313521u, 0x00313521u},  // another transfer method: not SCARD_CTL_CODE
      {0x00323520u, 0x00323520u},  // another device type
  };
  for (const auto& c : cases)
    EXPECT_EQ(bridge::ControlCodeToLite(c.win), c.lite) << std::hex << c.win;
}

TEST(BridgeTranslate, CardStateBitsBecomeTheStageReached) {
  const struct {
    uint32_t lite, win;
  } cases[] = {
      {0x0001u, 0u},  // SCARD_UNKNOWN
      {0x0002u, 1u},  // SCARD_ABSENT
      {0x0004u, 2u},  // SCARD_PRESENT
      {0x0008u, 3u},  // SCARD_SWALLOWED
      {0x0014u, 4u},  // present and powered
      {0x0034u, 5u},  // present, powered, negotiable
      {0x0054u, 6u},  // present, powered, specific
      {0x0000u, 0u},
  };
  for (const auto& c : cases)
    EXPECT_EQ(bridge::CardStateToWin(c.lite), c.win) << std::hex << c.lite;
}

}  // namespace
