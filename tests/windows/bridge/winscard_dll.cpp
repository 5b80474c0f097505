// A stand-in for Windows' winscard.dll, for tests under wine only: every call is forwarded over a
// loopback TCP connection to the bridge helper, which makes the same call on pcsc-lite. The port
// comes from TESSERA_BRIDGE_PORT. Without a helper every call fails with SCARD_E_NO_SERVICE and
// SCardAccessStartedEvent returns null, as on a machine whose smart-card service is stopped.
#define WINSCARDAPI __declspec(dllexport)
#define WINSCARDDATA __declspec(dllexport)

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
//
#include <windows.h>
#include <winscard.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "protocol.h"

extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace {

using bridge::Cursor;
using Bytes = std::vector<uint8_t>;

// Longest reader name or group list forwarded; pcsc-lite refuses far shorter names itself.
constexpr size_t kMaxText = 64 * 1024;
// Protocol bytes forwarded after a PCI header.
constexpr size_t kMaxPciExtra = 4096;
constexpr size_t kWinPciHeader = sizeof(SCARD_IO_REQUEST);

std::mutex g_lock;  // one request on the connection at a time
SOCKET g_socket = INVALID_SOCKET;
HANDLE g_startedEvent = nullptr;
std::set<const void*> g_allocations;  // memory handed out for SCARD_AUTOALLOCATE

bool SendAll(const uint8_t* data, size_t size) {
  while (size > 0) {
    const int n = send(g_socket, reinterpret_cast<const char*>(data),
                       static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveAll(uint8_t* data, size_t size) {
  while (size > 0) {
    const int n = recv(g_socket, reinterpret_cast<char*>(data),
                       static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ConnectToHelper() {
  if (g_socket != INVALID_SOCKET) return true;
  char port[16] = {};
  const DWORD got = GetEnvironmentVariableA("TESSERA_BRIDGE_PORT", port, sizeof port);
  if (got == 0 || got >= sizeof port) return false;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(s);
    return false;
  }
  // Each call is one small request and one reply: do not let Nagle hold them back.
  BOOL noDelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  g_socket = s;
  return true;
}

void Drop() {
  closesocket(g_socket);
  g_socket = INVALID_SOCKET;
}

Bytes Begin(bridge::Operation operation) {
  Bytes request(4, 0);  // room for the length
  bridge::PutU32(request, operation);
  return request;
}

// Sends the request and reads the response body. Returns 0, or the code to give the caller when
// the helper cannot be reached or broke the protocol.
LONG Roundtrip(Bytes& request, Bytes& response) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (!ConnectToHelper()) return SCARD_E_NO_SERVICE;
  const uint32_t length = static_cast<uint32_t>(request.size() - 4);
  for (int i = 0; i < 4; ++i) request[i] = static_cast<uint8_t>(length >> (8 * i));
  uint8_t prefix[4];
  if (!SendAll(request.data(), request.size()) || !ReceiveAll(prefix, sizeof prefix)) {
    Drop();
    return SCARD_F_COMM_ERROR;
  }
  const uint32_t size = prefix[0] | prefix[1] << 8 | prefix[2] << 16 | uint32_t{prefix[3]} << 24;
  if (size < 4 || size > bridge::kMaxMessage) {
    Drop();
    return SCARD_F_COMM_ERROR;
  }
  response.resize(size);
  if (!ReceiveAll(response.data(), size)) {
    Drop();
    return SCARD_F_COMM_ERROR;
  }
  return SCARD_S_SUCCESS;
}

// The response's result, or the transport's failure. The outputs follow the result in c.
LONG Call(Bytes& request, Bytes& response, Cursor& c) {
  const LONG failure = Roundtrip(request, response);
  if (failure != SCARD_S_SUCCESS) return failure;
  c = bridge::MakeCursor(response);
  return static_cast<LONG>(bridge::TakeU32(c));
}

LONG Checked(const Cursor& c, LONG result) {
  return c.ok ? result : SCARD_F_COMM_ERROR;
}

void PutText(Bytes& request, const char* text) {
  bridge::PutU32(request, text != nullptr ? 1 : 0);
  if (text != nullptr) bridge::PutBytes(request, text, strnlen(text, kMaxText));
}

// A multi-string up to and including its empty last string.
void PutMultiString(Bytes& request, const char* text) {
  bridge::PutU32(request, text != nullptr ? 1 : 0);
  if (text == nullptr) return;
  size_t size = 0;
  while (size < kMaxText) {
    const size_t n = strnlen(text + size, kMaxText - size);
    size += n + 1;
    if (n == 0) break;
  }
  bridge::PutBytes(request, text, std::min(size, kMaxText));
}

// A PCI record as the caller laid it out: dwProtocol, cbPciLength (counting the 8-byte header) and
// the protocol bytes after the header that cbPciLength claims.
void PutPci(Bytes& request, const SCARD_IO_REQUEST* pci) {
  bridge::PutU32(request, pci != nullptr ? 1 : 0);
  if (pci == nullptr) return;
  bridge::PutU32(request, pci->dwProtocol);
  bridge::PutU32(request, pci->cbPciLength);
  const size_t extra = pci->cbPciLength > kWinPciHeader
                           ? std::min<size_t>(pci->cbPciLength - kWinPciHeader, kMaxPciExtra)
                           : 0;
  bridge::PutBytes(request, reinterpret_cast<const uint8_t*>(pci) + kWinPciHeader, extra);
}

// Writes back a PCI record as the call left it; the protocol bytes never beyond what the caller's
// record claimed to hold.
void TakePci(Cursor& c, SCARD_IO_REQUEST* pci, DWORD capacity) {
  const uint32_t protocol = bridge::TakeU32(c);
  const uint32_t length = bridge::TakeU32(c);
  const Bytes extra = bridge::TakeBytes(c, kMaxPciExtra);
  if (!c.ok || pci == nullptr) return;
  pci->dwProtocol = protocol;
  pci->cbPciLength = length;
  const size_t room = capacity > kWinPciHeader ? capacity - kWinPciHeader : 0;
  // An empty vector's data() may be null, which memcpy must not get even for zero bytes.
  if (extra.empty()) return;
  std::memcpy(reinterpret_cast<uint8_t*>(pci) + kWinPciHeader, extra.data(),
              std::min(room, extra.size()));
}

// A variable output: into the caller's buffer of capacity bytes, or, when the caller asked for
// SCARD_AUTOALLOCATE, into memory of ours whose address goes where buffer points.
void StoreOutput(const Bytes& data, void* buffer, bool autoAllocate, DWORD capacity, LONG result) {
  if (buffer == nullptr) return;
  if (autoAllocate) {
    if (result != SCARD_S_SUCCESS) return;
    void* memory = HeapAlloc(GetProcessHeap(), 0, std::max<size_t>(data.size(), 1));
    if (memory == nullptr) return;
    if (!data.empty()) std::memcpy(memory, data.data(), data.size());
    {
      std::lock_guard<std::mutex> hold(g_lock);
      g_allocations.insert(memory);
    }
    *static_cast<void**>(buffer) = memory;
    return;
  }
  const size_t size = std::min<size_t>(capacity, data.size());
  if (size > 0) std::memcpy(buffer, data.data(), size);
}

}  // namespace

extern "C" {

HANDLE WINAPI SCardAccessStartedEvent(void) {
  Bytes request = Begin(bridge::kAccessStartedEvent);
  Bytes response;
  Cursor c{};
  if (Call(request, response, c) != SCARD_S_SUCCESS || !c.ok) return nullptr;
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_startedEvent == nullptr) g_startedEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  return g_startedEvent;
}

void WINAPI SCardReleaseStartedEvent(void) {}

LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
  Bytes request = Begin(bridge::kEstablishContext);
  bridge::PutU32(request, dwScope);
  bridge::PutOptionalU64(request, phContext, phContext != nullptr ? *phContext : 0);
  Bytes response;
  Cursor c{};
  const LONG rv = Call(request, response, c);
  if (response.empty()) return rv;
  const uint64_t context = bridge::TakeU64(c);
  if (c.ok && phContext != nullptr) *phContext = static_cast<SCARDCONTEXT>(context);
  return Checked(c, rv);
}

static LONG HandleOnly(bridge::Operation operation, SCARDCONTEXT hContext) {
  Bytes request = Begin(operation);
  bridge::PutU64(request, hContext);
  Bytes response;
  Cursor c{};
  const LONG rv = Call(request, response, c);
  return response.empty() ? rv : Checked(c, rv);
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext) {
  return HandleOnly(bridge::kReleaseContext, hContext);
}

LONG WINAPI SCardCancel(SCARDCONTEXT hContext) {
  return HandleOnly(bridge::kCancel, hContext);
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE hCard) {
  return HandleOnly(bridge::kBeginTransaction, hCard);
}

static LONG CardAndDisposition(bridge::Operation operation, SCARDHANDLE hCard, DWORD disposition) {
  Bytes request = Begin(operation);
  bridge::PutU64(request, hCard);
  bridge::PutU32(request, disposition);
  Bytes response;
  Cursor c{};
  const LONG rv = Call(request, response, c);
  return response.empty() ? rv : Checked(c, rv);
}

LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
  return CardAndDisposition(bridge::kDisconnect, hCard, dwDisposition);
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
  return CardAndDisposition(bridge::kEndTransaction, hCard, dwDisposition);
}

LONG WINAPI SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                          DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                          LPDWORD pdwActiveProtocol) {
  Bytes request = Begin(bridge::kConnect);
  bridge::PutU64(request, hContext);
  PutText(request, szReader);
  bridge::PutU32(request, dwShareMode);
  bridge::PutU32(request, dwPreferredProtocols);
  bridge::PutOptionalU64(request, phCard, phCard != nullptr ? *phCard : 0);
  bridge::PutOptionalU32(request, pdwActiveProtocol,
                         pdwActiveProtocol != nullptr ? *pdwActiveProtocol : 0);
  Bytes response;
  Cursor c{};
  const LONG rv = Call(request, response, c);
  if (response.empty()) return rv;
  const uint64_t card = bridge::TakeU64(c);
  const uint32_t active = bridge::TakeU32(c);
  if (c.ok && phCard != nullptr) *phCard = static_cast<SCARDHANDLE>(card);
  if (c.ok && pdwActiveProtocol != nullptr) *pdwActiveProtocol = active;
  return Checked(c, rv);
}

LONG WINAPI SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                           DWORD dwInitialization, LPDWORD pdwActiveProtocol) {
  Bytes request = Begin(bridge::kReconnect);
  bridge::PutU64(request, hCard);
  bridge::PutU32(request, dwShareMode);
  bridge::PutU32(request, dwPreferredProtocols);
  bridge::PutU32(request, dwInitialization);
  bridge::PutOptionalU32(request, pdwActiveProtocol,
                         pdwActiveProtocol != nullptr ? *pdwActiveProtocol : 0);
  Bytes response;
  Cursor c{};
  const LONG rv = Call(request, response, c);
  if (response.empty()) return rv;
  const uint32_t active = bridge::TakeU32(c);
  if (c.ok && pdwActiveProtocol != nullptr) *pdwActiveProtocol = active;
  return Checked(c, rv);
}

LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                          DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                          LPDWORD pcbRecvLength) {
  if (pbSendBuffer != nullptr && cbSendLength > bridge::kMaxBuffer)
    return SCARD_E_INVALID_PARAMETER;
  const DWORD recvPciCapacity = pioRecvPci != nullptr ? pioRecvPci->cbPciLength : 0;
  const DWORD recvCapacity = pcbRecvLength != nullptr ? *pcbRecvLength : 0;
  Bytes request = Begin(bridge::kTransmit);
  bridge::PutU64(request, hCard);
  PutPci(request, pioSendPci);
  bridge::PutU32(request, cbSendLength);
  bridge::PutU32(request, pbSendBuffer != nullptr ? 1 : 0);
  if (pbSendBuffer != nullptr) bridge::PutBytes(request, pbSendBuffer, cbSendLength);
  PutPci(request, pioRecvPci);
  bridge::PutU32(request, pbRecvBuffer != nullptr ? 1 : 0);
  bridge::PutOptionalU32(request, pcbRecvLength, recvCapacity);
  Bytes response;
  Cursor c{};
  const LONG rv = Call(request, response, c);
  if (response.empty()) return rv;
  const uint32_t received = bridge::TakeU32(c);
  const Bytes data = bridge::TakeBytes(c, bridge::kMaxBuffer);
  if (pioRecvPci != nullptr) TakePci(c, pioRecvPci, recvPciCapacity);
  if (!c.ok) return SCARD_F_COMM_ERROR;
  if (pcbRecvLength != nullptr) *pcbRecvLength = received;
  StoreOutput(data, pbRecvBuffer, false, recvCapacity, rv);
  return rv;
}

LONG WINAPI SCardControl(SCARDHANDLE hCard, DWORD dwControlCode, LPCVOID lpInBuffer,
                         DWORD cbInBufferSize, LPVOID lpOutBuffer, DWORD cbOutBufferSize,
                         LPDWORD lpBytesReturned) {
  if (lpInBuffer != nullptr && cbInBufferSize > bridge::kMaxBuffer)
    return SCARD_E_INVALID_PARAMETER;
  Bytes request = Begin(bridge::kControl);
  bridge::PutU64(request, hCard);
  bridge::PutU32(request, dwControlCode);
  bridge::PutU32(request, cbInBufferSize);
  bridge::PutU32(request, lpInBuffer != nullptr ? 1 : 0);
  if (lpInBuffer != nullptr) bridge::PutBytes(request, lpInBuffer, cbInBufferSize);
  bridge::PutU32(request, lpOutBuffer != nullptr ? 1 : 0);
  bridge::PutU32(request, cbOutBufferSize);
  bridge::PutOptionalU32(request, lpBytesReturned,
                         lpBytesReturned != nullptr ? *lpBytesReturned : 0);
  Bytes response;
  Cursor c{};
  const LONG rv = Call(request, response, c);
  if (response.empty()) return rv;
  const uint32_t returned = bridge::TakeU32(c);
  const Bytes data = bridge::TakeBytes(c, bridge::kMaxBuffer);
  if (!c.ok) return SCARD_F_COMM_ERROR;
  if (lpBytesReturned != nullptr) *lpBytesReturned = returned;
  StoreOutput(data, lpOutBuffer, false, cbOutBufferSize, rv);
  return rv;
}

LONG WINAPI SCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr, LPDWORD pcbAttrLen) {
  const DWORD capacity = pcbAttrLen != nullptr ? *pcbAttrLen : 0;
  Bytes request = Begin(bridge::kGetAttrib);
  bridge::PutU64(request, hCard);
  bridge::PutU32(request, dwAttrId);
  bridge::PutU32(request, pbAttr != nullptr ? 1 : 0);
  bridge::PutOptionalU32(request, pcbAttrLen, capacity);
  Bytes response;
  Cursor c{};
  const LONG rv = Call(request, response, c);
  if (response.empty()) return rv;
  const uint32_t length = bridge::TakeU32(c);
  const Bytes data = bridge::TakeBytes(c, bridge::kMaxBuffer);
  if (!c.ok) return SCARD_F_COMM_ERROR;
  if (pcbAttrLen != nullptr) *pcbAttrLen = length;
  StoreOutput(data, pbAttr, capacity == SCARD_AUTOALLOCATE, capacity, rv);
  return rv;
}

LONG WINAPI SCardStatusA(SCARDHANDLE hCard, LPSTR mszReaderNames, LPDWORD pcchReaderLen,
                         LPDWORD pdwState, LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
  const DWORD namesCapacity = pcchReaderLen != nullptr ? *pcchReaderLen : 0;
  const DWORD atrCapacity = pcbAtrLen != nullptr ? *pcbAtrLen : 0;
  Bytes request = Begin(bridge::kStatus);
  bridge::PutU64(request, hCard);
  bridge::PutU32(request, mszReaderNames != nullptr ? 1 : 0);
  bridge::PutOptionalU32(request, pcchReaderLen, namesCapacity);
  bridge::PutOptionalU32(request, pdwState, pdwState != nullptr ? *pdwState : 0);
  bridge::PutOptionalU32(request, pdwProtocol, pdwProtocol != nullptr ? *pdwProtocol : 0);
  bridge::PutU32(request, pbAtr != nullptr ? 1 : 0);
  bridge::PutOptionalU32(request, pcbAtrLen, atrCapacity);
  Bytes response;
  Cursor c{};
  const LONG rv = Call(request, response, c);
  if (response.empty()) return rv;
  const uint32_t namesLength = bridge::TakeU32(c);
  const Bytes names = bridge::TakeBytes(c, bridge::kMaxBuffer);
  const uint32_t state = bridge::TakeU32(c);
  const uint32_t protocol = bridge::TakeU32(c);
  const uint32_t atrLength = bridge::TakeU32(c);
  const Bytes atr = bridge::TakeBytes(c, bridge::kMaxBuffer);
  if (!c.ok) return SCARD_F_COMM_ERROR;
  if (pcchReaderLen != nullptr) *pcchReaderLen = namesLength;
  if (pdwState != nullptr) *pdwState = state;
  if (pdwProtocol != nullptr) *pdwProtocol = protocol;
  if (pcbAtrLen != nullptr) *pcbAtrLen = atrLength;
  StoreOutput(names, mszReaderNames, namesCapacity == SCARD_AUTOALLOCATE, namesCapacity, rv);
  StoreOutput(atr, pbAtr, atrCapacity == SCARD_AUTOALLOCATE, atrCapacity, rv);
  return rv;
}

static LONG ListCall(Bytes& request, LPSTR buffer, LPDWORD pcch) {
  const DWORD capacity = pcch != nullptr ? *pcch : 0;
  bridge::PutU32(request, buffer != nullptr ? 1 : 0);
  bridge::PutOptionalU32(request, pcch, capacity);
  Bytes response;
  Cursor c{};
  const LONG rv = Call(request, response, c);
  if (response.empty()) return rv;
  const uint32_t length = bridge::TakeU32(c);
  const Bytes data = bridge::TakeBytes(c, bridge::kMaxBuffer);
  if (!c.ok) return SCARD_F_COMM_ERROR;
  if (pcch != nullptr) *pcch = length;
  StoreOutput(data, buffer, capacity == SCARD_AUTOALLOCATE, capacity, rv);
  return rv;
}

LONG WINAPI SCardListReaderGroupsA(SCARDCONTEXT hContext, LPSTR mszGroups, LPDWORD pcchGroups) {
  Bytes request = Begin(bridge::kListReaderGroups);
  bridge::PutU64(request, hContext);
  return ListCall(request, mszGroups, pcchGroups);
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                              LPDWORD pcchReaders) {
  Bytes request = Begin(bridge::kListReaders);
  bridge::PutU64(request, hContext);
  PutMultiString(request, mszGroups);
  return ListCall(request, mszReaders, pcchReaders);
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT hContext, DWORD dwTimeout,
                                  LPSCARD_READERSTATEA rgReaderStates, DWORD cReaders) {
  if (rgReaderStates != nullptr && cReaders > bridge::kMaxReaderStates)
    return SCARD_E_INVALID_VALUE;
  Bytes request = Begin(bridge::kGetStatusChange);
  bridge::PutU64(request, hContext);
  bridge::PutU32(request, dwTimeout);
  bridge::PutU32(request, cReaders);
  bridge::PutU32(request, rgReaderStates != nullptr ? 1 : 0);
  const DWORD records = rgReaderStates != nullptr ? cReaders : 0;
  for (DWORD i = 0; i < records; ++i) {
    const SCARD_READERSTATEA& state = rgReaderStates[i];
    PutText(request, state.szReader);
    bridge::PutU32(request, state.dwCurrentState);
    bridge::PutU32(request, state.dwEventState);
    bridge::PutU32(request, state.cbAtr);
    request.insert(request.end(), state.rgbAtr, state.rgbAtr + sizeof state.rgbAtr);
  }
  Bytes response;
  Cursor c{};
  const LONG rv = Call(request, response, c);
  if (response.empty()) return rv;
  const uint32_t count = bridge::TakeU32(c);
  if (!c.ok || count != records) return SCARD_F_COMM_ERROR;
  for (DWORD i = 0; i < records; ++i) {
    SCARD_READERSTATEA& state = rgReaderStates[i];
    const uint32_t current = bridge::TakeU32(c);
    const uint32_t event = bridge::TakeU32(c);
    const uint32_t atrLength = bridge::TakeU32(c);
    uint8_t atr[bridge::kWinAtrSize];
    bridge::Take(c, atr, sizeof atr);
    if (!c.ok) return SCARD_F_COMM_ERROR;
    state.dwCurrentState = current;
    state.dwEventState = event;
    state.cbAtr = atrLength;
    std::memcpy(state.rgbAtr, atr, sizeof state.rgbAtr);
  }
  return rv;
}

LONG WINAPI SCardFreeMemory(SCARDCONTEXT, LPCVOID pvMem) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_allocations.erase(pvMem) == 0) return SCARD_E_INVALID_PARAMETER;
  HeapFree(GetProcessHeap(), 0, const_cast<void*>(pvMem));
  return SCARD_S_SUCCESS;
}

}  // extern "C"
