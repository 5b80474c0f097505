// Translation between the wire's PCI and reader-state records and each platform's layout.
#include <gtest/gtest.h>

#include <PCSC/winscard.h>

#include "pcsc/records.h"

namespace {

using Bytes = std::vector<uint8_t>;

// WinSCard's layouts: 32-bit DWORDs, an 8-byte SCARD_IO_REQUEST and a 36-byte ATR.
struct WinIoRequest {
  uint32_t dwProtocol;
  uint32_t cbPciLength;
};
struct WinReaderState {
  const char* szReader;
  void* pvUserData;
  uint32_t dwCurrentState;
  uint32_t dwEventState;
  uint32_t cbAtr;
  unsigned char rgbAtr[36];
};

template <typename T>
class PciRecords : public ::testing::Test {};
using IoRequests = ::testing::Types<SCARD_IO_REQUEST, WinIoRequest>;
TYPED_TEST_SUITE(PciRecords, IoRequests);

// Platform storage for a record of wireSize wire bytes.
template <typename IoRequest>
std::vector<IoRequest> Storage(size_t wireSize) {
  const size_t bytes = pcsc::PlatformPciSize<IoRequest>(wireSize);
  return std::vector<IoRequest>((bytes + sizeof(IoRequest) - 1) / sizeof(IoRequest));
}

TYPED_TEST(PciRecords, HeaderAndProtocolBytesCrossBothWays) {
  const Bytes wire = {2, 0, 0, 0, 11, 0, 0, 0, 0xA, 0xB, 0xC};
  auto platform = Storage<TypeParam>(wire.size());
  pcsc::PciToPlatform(wire.data(), wire.size(), platform.data());
  EXPECT_EQ(platform[0].dwProtocol, 2u);
  EXPECT_EQ(platform[0].cbPciLength, sizeof(TypeParam) + 3);
  const uint8_t* extra = reinterpret_cast<const uint8_t*>(platform.data()) + sizeof(TypeParam);
  EXPECT_EQ(Bytes(extra, extra + 3), (Bytes{0xA, 0xB, 0xC}));

  Bytes back(wire.size(), 0xFF);
  pcsc::PciFromPlatform(platform.data(), back.data(), back.size());
  EXPECT_EQ(back, wire);
}

TYPED_TEST(PciRecords, ShortWireRecordsGetAWholeHeader) {
  const Bytes wire = {1, 0, 0};
  auto platform = Storage<TypeParam>(wire.size());
  EXPECT_EQ(pcsc::PlatformPciSize<TypeParam>(wire.size()), sizeof(TypeParam));
  pcsc::PciToPlatform(wire.data(), wire.size(), platform.data());
  EXPECT_EQ(platform[0].dwProtocol, 1u);
  EXPECT_EQ(platform[0].cbPciLength, 0u);
  // Coming back, only the bytes the wire record has are written.
  platform[0].dwProtocol = 0x04030201;
  Bytes back(5, 0xEE);
  pcsc::PciFromPlatform(platform.data(), back.data(), 3);
  EXPECT_EQ(back, (Bytes{1, 2, 3, 0xEE, 0xEE}));
}

TYPED_TEST(PciRecords, ClaimedLengthNeverExceedsTheRecord) {
  const Bytes wire = {2, 0, 0, 0, 0xFF, 0xFF, 0, 0};
  auto platform = Storage<TypeParam>(wire.size());
  pcsc::PciToPlatform(wire.data(), wire.size(), platform.data());
  EXPECT_EQ(platform[0].cbPciLength, sizeof(TypeParam));
}

TEST(PciRecords, PlatformHeaderLengthIsTheWireHeaderLength) {
  SCARD_IO_REQUEST platform = {1, sizeof(SCARD_IO_REQUEST)};
  Bytes wire(8, 0);
  pcsc::PciFromPlatform(&platform, wire.data(), wire.size());
  EXPECT_EQ(wire, (Bytes{1, 0, 0, 0, 8, 0, 0, 0}));
}

template <typename T>
class ReaderStateRecords : public ::testing::Test {};
using ReaderStates = ::testing::Types<SCARD_READERSTATE, WinReaderState>;
TYPED_TEST_SUITE(ReaderStateRecords, ReaderStates);

Bytes WireRecord() {
  Bytes r(200, 0);
  const std::string name = "Test Reader 00 00";
  std::copy(name.begin(), name.end(), r.begin());
  for (size_t i = name.size() + 1; i < 128; ++i) r[i] = 0x5A;  // junk after the name's NUL
  for (int i = 0; i < 8; ++i) r[128 + i] = static_cast<uint8_t>(0xF1 + i);  // user data
  const uint8_t current[8] = {0x10, 0x00, 0x01, 0x00, 0xAA, 0xBB, 0xCC, 0xDD};
  const uint8_t event[8] = {0x22, 0x00, 0x00, 0x00, 0x11, 0x11, 0x11, 0x11};
  const uint8_t atrLength[8] = {0x05, 0, 0, 0, 0x99, 0, 0, 0};
  std::copy(current, current + 8, r.begin() + 136);
  std::copy(event, event + 8, r.begin() + 144);
  std::copy(atrLength, atrLength + 8, r.begin() + 152);
  for (int i = 0; i < 36; ++i) r[160 + i] = static_cast<uint8_t>(0x30 + i);
  for (int i = 196; i < 200; ++i) r[i] = 0xEE;  // padding
  return r;
}

TYPED_TEST(ReaderStateRecords, EveryFieldReachesThePlatformRecord) {
  const Bytes wire = WireRecord();
  TypeParam state;
  pcsc::ReaderNameCopy copy;
  pcsc::ReaderStatesToPlatform(wire.data(), 1, &state, &copy);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(state.szReader), wire.data()) << "name in place";
  EXPECT_EQ(reinterpret_cast<uintptr_t>(state.pvUserData), uintptr_t{0xF8F7F6F5F4F3F2F1u});
  EXPECT_EQ(state.dwCurrentState, 0x10010u) << "high half ignored";
  EXPECT_EQ(state.dwEventState, 0x22u);
  EXPECT_EQ(state.cbAtr, 5u);
  const size_t atrSize = sizeof state.rgbAtr;
  EXPECT_EQ(Bytes(state.rgbAtr, state.rgbAtr + atrSize),
            Bytes(wire.begin() + 160, wire.begin() + 160 + atrSize));
}

TYPED_TEST(ReaderStateRecords, RebuiltRecordCarriesTheCallsOutputsAndZeroesTheRest) {
  Bytes wire = WireRecord();
  TypeParam state;
  pcsc::ReaderNameCopy copy;
  pcsc::ReaderStatesToPlatform(wire.data(), 1, &state, &copy);
  state.dwEventState = 0x00030122;
  state.cbAtr = 3;
  std::fill(std::begin(state.rgbAtr), std::end(state.rgbAtr), 0x77);
  pcsc::ReaderStatesFromPlatform(&state, 1, wire.data());

  Bytes expected(200, 0);
  const std::string name = "Test Reader 00 00";
  std::copy(name.begin(), name.end(), expected.begin());
  for (int i = 0; i < 8; ++i) expected[128 + i] = static_cast<uint8_t>(0xF1 + i);
  const uint8_t current[4] = {0x10, 0x00, 0x01, 0x00};
  const uint8_t event[4] = {0x22, 0x01, 0x03, 0x00};
  std::copy(current, current + 4, expected.begin() + 136);
  std::copy(event, event + 4, expected.begin() + 144);
  expected[152] = 3;
  std::fill(expected.begin() + 160, expected.begin() + 160 + sizeof state.rgbAtr, 0x77);
  EXPECT_EQ(wire, expected);
}

TYPED_TEST(ReaderStateRecords, EmptyNameIsANullReader) {
  Bytes wire(400, 0);
  wire[200] = 'B';
  TypeParam states[2];
  pcsc::ReaderNameCopy copies[2];
  pcsc::ReaderStatesToPlatform(wire.data(), 2, states, copies);
  EXPECT_EQ(states[0].szReader, nullptr);
  EXPECT_STREQ(states[1].szReader, "B");
}

// A name that fills its whole field is passed as a terminated copy: the service never reads past
// the field, and the record comes back with all 128 name bytes as sent.
TYPED_TEST(ReaderStateRecords, NameWithoutTerminatorIsTerminatedOutsideTheField) {
  Bytes wire(400, 0x41);
  TypeParam states[2];
  pcsc::ReaderNameCopy copies[2];
  pcsc::ReaderStatesToPlatform(wire.data(), 2, states, copies);
  ASSERT_NE(states[0].szReader, nullptr);
  EXPECT_EQ(std::string(states[0].szReader), std::string(128, 'A'));
  EXPECT_NE(reinterpret_cast<const uint8_t*>(states[0].szReader), wire.data());
  pcsc::ReaderStatesFromPlatform(states, 2, wire.data());
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 128), Bytes(128, 0x41));
  EXPECT_EQ(Bytes(wire.begin() + 200, wire.begin() + 328), Bytes(128, 0x41));
}

TYPED_TEST(ReaderStateRecords, AtrLengthNeverClaimsMoreThanThePlatformArray) {
  Bytes wire = WireRecord();
  wire[152] = 0xFF;
  wire[153] = 0xFF;
  TypeParam state;
  pcsc::ReaderNameCopy copy;
  pcsc::ReaderStatesToPlatform(wire.data(), 1, &state, &copy);
  EXPECT_EQ(state.cbAtr, sizeof state.rgbAtr);
}

// The clamp is for the platform record only: an ATR length the service did not touch comes back
// on the wire exactly as sent, one it wrote comes back as written.
TYPED_TEST(ReaderStateRecords, AtrLengthComesBackAsSentUnlessTheServiceWroteIt) {
  const struct {
    Bytes sent;
    bool serviceWrites;
    Bytes expected;
  } kCases[] = {
      {{36, 0, 0, 0}, false, {36, 0, 0, 0}},
      {{4, 3, 2, 1}, false, {4, 3, 2, 1}},
      {{5, 0, 0, 0}, false, {5, 0, 0, 0}},
      {{4, 3, 2, 1}, true, {19, 0, 0, 0}},
  };
  for (const auto& c : kCases) {
    Bytes wire = WireRecord();
    std::copy(c.sent.begin(), c.sent.end(), wire.begin() + 152);
    TypeParam state;
    pcsc::ReaderNameCopy copy;
    pcsc::ReaderStatesToPlatform(wire.data(), 1, &state, &copy);
    if (c.serviceWrites) state.cbAtr = 19;
    pcsc::ReaderStatesFromPlatform(&state, 1, wire.data());
    EXPECT_EQ(Bytes(wire.begin() + 152, wire.begin() + 160),
              (Bytes{c.expected[0], c.expected[1], c.expected[2], c.expected[3], 0, 0, 0, 0}))
        << "sent " << int{c.sent[0]} << "," << int{c.sent[3]};
  }
}

// On a platform with 64-bit DWORDs, values beyond 32 bits come back as 4294967295.
TEST(ReaderStateRecords, WideValuesSaturateToThirtyTwoBits) {
  if (sizeof(DWORD) < 8) GTEST_SKIP() << "DWORD is 32 bits here";
  Bytes wire = WireRecord();
  SCARD_READERSTATE state;
  pcsc::ReaderNameCopy copy;
  pcsc::ReaderStatesToPlatform(wire.data(), 1, &state, &copy);
  state.dwEventState = static_cast<DWORD>(0x100000002ull);
  pcsc::ReaderStatesFromPlatform(&state, 1, wire.data());
  EXPECT_EQ(Bytes(wire.begin() + 144, wire.begin() + 152), (Bytes{255, 255, 255, 255, 0, 0, 0, 0}));
}

}  // namespace
