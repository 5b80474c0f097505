// Direct pcsc-lite calls from the test process itself: the ground truth that the host's replies
// are compared with, and a second client for exclusion tests. The test process always talks to
// the rig's pcscd directly, whatever host command runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace direct {

// Waits until the reader reports a card present (or absent); false on timeout.
bool WaitForCard(const std::string& reader, bool present, int timeoutMs);

// The reader's state bits (without the event counter) and ATR as SCardGetStatusChange sees them.
struct ReaderView {
  long result = 0;
  uint32_t eventState = 0;
  std::vector<uint8_t> atr;
};
ReaderView ViewReader(const std::string& reader);

// The reader groups and readers as the service lists them (multi-strings).
std::vector<uint8_t> ListReaderGroups();
std::vector<uint8_t> ListReaders();

}  // namespace direct

namespace direct {

// What the service reports for a card connected in the reader: SCardStatus's state and protocol,
// and the dwProtocol it writes into a receive PCI record after a transmit.
struct CardView {
  long result = 0;
  uint32_t state = 0;
  uint32_t protocol = 0;
  uint32_t receivePciProtocol = 0;
  std::vector<uint8_t> names;  // SCardStatus's reader names, terminators included
};
// Connects shared, asks, transmits one SELECT and disconnects leaving the card.
CardView ViewCard(const std::string& reader);

}  // namespace direct
