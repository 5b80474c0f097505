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
