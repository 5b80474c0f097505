#include "pcsc_direct.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <chrono>
#include <thread>

namespace direct {
namespace {

struct Context {
  SCARDCONTEXT value = 0;
  LONG result = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &value);
  ~Context() {
    if (result == SCARD_S_SUCCESS) SCardReleaseContext(value);
  }
};

std::vector<uint8_t> Take(LONG rv, SCARDCONTEXT context, char* list, DWORD length) {
  std::vector<uint8_t> bytes;
  if (rv == SCARD_S_SUCCESS && list != nullptr) bytes.assign(list, list + length);
  if (list != nullptr) SCardFreeMemory(context, list);
  return bytes;
}

}  // namespace

ReaderView ViewReader(const std::string& reader) {
  ReaderView view;
  Context context;
  if (context.result != SCARD_S_SUCCESS) {
    view.result = context.result;
    return view;
  }
  SCARD_READERSTATE state{};
  state.szReader = reader.c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  view.result = SCardGetStatusChange(context.value, 0, &state, 1);
  view.eventState = static_cast<uint32_t>(state.dwEventState & 0xFFFF);
  view.atr.assign(state.rgbAtr, state.rgbAtr + state.cbAtr);
  return view;
}

bool WaitForCard(const std::string& reader, bool present, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const ReaderView view = ViewReader(reader);
    const bool isPresent = (view.eventState & SCARD_STATE_PRESENT) != 0;
    const bool isEmpty = (view.eventState & SCARD_STATE_EMPTY) != 0;
    if (view.result == SCARD_S_SUCCESS && (present ? isPresent : isEmpty)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<uint8_t> ListReaderGroups() {
  Context context;
  char* list = nullptr;
  DWORD length = SCARD_AUTOALLOCATE;
  const LONG rv = SCardListReaderGroups(context.value, reinterpret_cast<char*>(&list), &length);
  return Take(rv, context.value, list, length);
}

std::vector<uint8_t> ListReaders() {
  Context context;
  char* list = nullptr;
  DWORD length = SCARD_AUTOALLOCATE;
  const LONG rv = SCardListReaders(context.value, nullptr, reinterpret_cast<char*>(&list), &length);
  return Take(rv, context.value, list, length);
}

}  // namespace direct

namespace direct {

CardView ViewCard(const std::string& reader) {
  CardView view;
  Context context;
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  view.result = SCardConnect(context.value, reader.c_str(), SCARD_SHARE_SHARED,
                             SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
  if (view.result != SCARD_S_SUCCESS) return view;
  DWORD state = 0;
  DWORD activeProtocol = 0;
  DWORD atrLength = MAX_ATR_SIZE;
  BYTE atr[MAX_ATR_SIZE];
  char* names = nullptr;
  DWORD namesLength = SCARD_AUTOALLOCATE;
  view.result = SCardStatus(card, reinterpret_cast<char*>(&names), &namesLength, &state,
                            &activeProtocol, atr, &atrLength);
  if (names != nullptr) {
    view.names.assign(names, names + namesLength);
    SCardFreeMemory(context.value, names);
  }
  view.state = static_cast<uint32_t>(state);
  view.protocol = static_cast<uint32_t>(activeProtocol);
  SCARD_IO_REQUEST send{protocol, sizeof(SCARD_IO_REQUEST)};
  SCARD_IO_REQUEST receive{protocol, sizeof(SCARD_IO_REQUEST)};
  const BYTE select[] = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00};
  BYTE answer[258];
  DWORD answerLength = sizeof answer;
  if (SCardTransmit(card, &send, select, sizeof select, &receive, answer, &answerLength) ==
      SCARD_S_SUCCESS) {
    view.receivePciProtocol = static_cast<uint32_t>(receive.dwProtocol);
  }
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  return view;
}

}  // namespace direct
