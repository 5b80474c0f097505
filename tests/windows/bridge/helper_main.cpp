// The Linux end of the test bridge: accepts one connection from the test-only winscard.dll on
// 127.0.0.1, makes each forwarded call on pcsc-lite and answers with the outputs in WinSCard's
// layouts and numbers (32-bit DWORDs, 8-byte SCARD_IO_REQUEST headers, 36-byte ATRs in reader
// states). It prints the port it listens on as one line on standard output, then serves until
// the connection ends. Nobody connecting within a minute ends it too.
#include <PCSC/winscard.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol.h"
#include "translate.h"

namespace {

using bridge::Cursor;
using Bytes = std::vector<uint8_t>;

constexpr int kAcceptTimeoutMs = 60 * 1000;
constexpr size_t kWinPciHeader = 8;
constexpr size_t kMaxPciExtra = 4096;
// pcsc-lite writes at most this many bytes into a transmit, control or attribute buffer, whatever
// length the caller claims; a helper buffer is never smaller.
constexpr size_t kLiteLargestOutput = MAX_BUFFER_SIZE_EXTENDED;

bool ReadAll(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = read(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

uint32_t Result(LONG rv) {
  return bridge::ResultToWin(static_cast<uint32_t>(rv));
}

// The Windows caller's all-ones 32-bit length is pcsc-lite's SCARD_AUTOALLOCATE.
DWORD LengthToLite(uint32_t length) {
  return length == bridge::kWinAutoAllocate ? SCARD_AUTOALLOCATE : DWORD{length};
}

uint32_t LengthToWin(DWORD length) {
  return length > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(length);
}

// A buffer for an output of the caller's claimed capacity, never smaller than what pcsc-lite may
// write and never larger than the bridge's bound.
Bytes OutputBuffer(uint32_t capacity) {
  return Bytes(
      std::max<size_t>(std::min<size_t>(capacity, bridge::kMaxBuffer), kLiteLargestOutput));
}

// Storage for a pcsc-lite SCARD_IO_REQUEST (16-byte header) followed by protocol bytes.
struct LitePci {
  bool present;
  std::vector<SCARD_IO_REQUEST> storage;
  size_t extra;
};

LitePci TakePci(Cursor& c) {
  LitePci pci{bridge::TakeU32(c) != 0, {}, 0};
  if (!pci.present) return pci;
  const uint32_t protocol = bridge::TakeU32(c);
  const uint32_t winLength = bridge::TakeU32(c);
  const Bytes extra = bridge::TakeBytes(c, kMaxPciExtra);
  pci.extra = extra.size();
  pci.storage.resize(1 + (extra.size() + sizeof(SCARD_IO_REQUEST) - 1) / sizeof(SCARD_IO_REQUEST));
  SCARD_IO_REQUEST& header = pci.storage[0];
  header.dwProtocol = bridge::ProtocolToLite(protocol);
  // cbPciLength counts the header, whose size differs: 8 bytes on Windows, 16 here.
  header.cbPciLength =
      winLength < kWinPciHeader ? winLength : winLength - kWinPciHeader + sizeof(SCARD_IO_REQUEST);
  // An empty vector's data() may be null, which memcpy must not get even for zero bytes.
  if (!extra.empty()) std::memcpy(pci.storage.data() + 1, extra.data(), extra.size());
  return pci;
}

void PutPci(Bytes& out, const LitePci& pci) {
  const SCARD_IO_REQUEST& header = pci.storage[0];
  bridge::PutU32(out, bridge::ProtocolToWin(static_cast<uint32_t>(header.dwProtocol)));
  const DWORD length = header.cbPciLength;
  bridge::PutU32(out, LengthToWin(length < sizeof(SCARD_IO_REQUEST)
                                      ? length
                                      : length - sizeof(SCARD_IO_REQUEST) + kWinPciHeader));
  bridge::PutBytes(out, pci.storage.data() + 1, pci.extra);
}

// Text from the request with the terminator pcsc-lite needs.
struct OptionalText {
  bool present;
  std::string text;
};

OptionalText TakeText(Cursor& c) {
  OptionalText t{bridge::TakeU32(c) != 0, {}};
  if (t.present) t.text = bridge::TakeText(c, bridge::kMaxBuffer);
  return t;
}

const char* Pointer(const OptionalText& t) {
  return t.present ? t.text.c_str() : nullptr;
}

// A variable-length output the PC/SC way: into a buffer of the claimed length, or into memory
// pcsc-lite allocates when the length is SCARD_AUTOALLOCATE. Kept in one place so that the
// allocated memory always goes back to pcsc-lite.
struct VariableOutput {
  bool wanted;           // the caller passed a buffer
  DWORD length;          // in: capacity as pcsc-lite sees it; out: as the call left it
  Bytes buffer;          // the caller's buffer, when not autoallocated
  unsigned char* owned;  // pcsc-lite's memory, when autoallocated
};

VariableOutput MakeVariableOutput(bool wanted, const bridge::OptionalU32& length) {
  VariableOutput v{wanted, length.present ? LengthToLite(length.value) : 0, {}, nullptr};
  if (wanted && v.length != SCARD_AUTOALLOCATE) v.buffer = OutputBuffer(length.value);
  return v;
}

// The buffer argument for the call.
void* Argument(VariableOutput& v) {
  if (!v.wanted) return nullptr;
  return v.length == SCARD_AUTOALLOCATE ? static_cast<void*>(&v.owned) : v.buffer.data();
}

DWORD* LengthArgument(VariableOutput& v, bool present) {
  return present ? &v.length : nullptr;
}

// The output length, then the bytes the caller gets: none unless the call succeeded. Memory that
// pcsc-lite allocated goes back to it here, also after a failed call.
void PutVariableOutput(Bytes& out, SCARDCONTEXT context, VariableOutput& v, bool lengthPresent,
                       LONG rv) {
  bridge::PutU32(out, LengthToWin(v.length));
  const unsigned char* data = v.owned != nullptr ? v.owned : v.buffer.data();
  size_t size = 0;
  if (rv == SCARD_S_SUCCESS && v.wanted && lengthPresent && v.length != SCARD_AUTOALLOCATE) {
    size = v.owned != nullptr ? v.length : std::min<size_t>(v.length, v.buffer.size());
  }
  bridge::PutBytes(out, data, std::min<size_t>(size, bridge::kMaxBuffer));
  // pcsc-lite's SCardFreeMemory frees only under a context it knows, and SCardStatus and
  // SCardGetAttrib come with a card handle alone; the memory is plain malloc memory.
  if (v.owned != nullptr &&
      (context == 0 || SCardFreeMemory(context, v.owned) != SCARD_S_SUCCESS)) {
    std::free(v.owned);
  }
  v.owned = nullptr;
}

// Each handler reads its fields from c, makes the call and appends the outputs to out after the
// result. It returns false on a malformed request.
bool AccessStartedEvent(Cursor&, Bytes& out) {
  // pcsc-lite has no such event: the service counts as started when it answers.
  SCARDCONTEXT context = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
  if (rv == SCARD_S_SUCCESS) SCardReleaseContext(context);
  bridge::PutU32(out, Result(rv));
  return true;
}

bool EstablishContext(Cursor& c, Bytes& out) {
  const uint32_t scope = bridge::TakeU32(c);
  const bridge::OptionalU64 slot = bridge::TakeOptionalU64(c);
  if (!c.ok) return false;
  SCARDCONTEXT context = static_cast<SCARDCONTEXT>(slot.value);
  const LONG rv = SCardEstablishContext(scope, nullptr, nullptr, slot.present ? &context : nullptr);
  bridge::PutU32(out, Result(rv));
  bridge::PutU64(out, static_cast<uint64_t>(context));
  return true;
}

bool HandleOnly(Cursor& c, Bytes& out, LONG (*call)(SCARDHANDLE)) {
  const uint64_t handle = bridge::TakeU64(c);
  if (!c.ok) return false;
  bridge::PutU32(out, Result(call(static_cast<SCARDHANDLE>(handle))));
  return true;
}

bool HandleAndDisposition(Cursor& c, Bytes& out, LONG (*call)(SCARDHANDLE, DWORD)) {
  const uint64_t handle = bridge::TakeU64(c);
  const uint32_t disposition = bridge::TakeU32(c);
  if (!c.ok) return false;
  bridge::PutU32(out, Result(call(static_cast<SCARDHANDLE>(handle), disposition)));
  return true;
}

bool Connect(Cursor& c, Bytes& out) {
  const uint64_t context = bridge::TakeU64(c);
  const OptionalText reader = TakeText(c);
  const uint32_t share = bridge::TakeU32(c);
  const uint32_t protocols = bridge::TakeU32(c);
  const bridge::OptionalU64 cardIn = bridge::TakeOptionalU64(c);
  const bridge::OptionalU32 activeIn = bridge::TakeOptionalU32(c);
  if (!c.ok) return false;
  SCARDHANDLE card = static_cast<SCARDHANDLE>(cardIn.value);
  DWORD active = bridge::ProtocolToLite(activeIn.value);
  const LONG rv = SCardConnect(static_cast<SCARDCONTEXT>(context), Pointer(reader), share,
                               bridge::ProtocolToLite(protocols), cardIn.present ? &card : nullptr,
                               activeIn.present ? &active : nullptr);
  bridge::PutU32(out, Result(rv));
  bridge::PutU64(out, static_cast<uint64_t>(card));
  bridge::PutU32(out, bridge::ProtocolToWin(LengthToWin(active)));
  return true;
}

bool Reconnect(Cursor& c, Bytes& out) {
  const uint64_t card = bridge::TakeU64(c);
  const uint32_t share = bridge::TakeU32(c);
  const uint32_t protocols = bridge::TakeU32(c);
  const uint32_t initialization = bridge::TakeU32(c);
  const bridge::OptionalU32 activeIn = bridge::TakeOptionalU32(c);
  if (!c.ok) return false;
  DWORD active = bridge::ProtocolToLite(activeIn.value);
  const LONG rv =
      SCardReconnect(static_cast<SCARDHANDLE>(card), share, bridge::ProtocolToLite(protocols),
                     initialization, activeIn.present ? &active : nullptr);
  bridge::PutU32(out, Result(rv));
  bridge::PutU32(out, bridge::ProtocolToWin(LengthToWin(active)));
  return true;
}

bool Transmit(Cursor& c, Bytes& out) {
  const uint64_t card = bridge::TakeU64(c);
  const LitePci sendPci = TakePci(c);
  const uint32_t sendLength = bridge::TakeU32(c);
  const bool sendPresent = bridge::TakeU32(c) != 0;
  const Bytes send = sendPresent ? bridge::TakeBytes(c, bridge::kMaxBuffer) : Bytes{};
  LitePci recvPci = TakePci(c);
  const bool recvPresent = bridge::TakeU32(c) != 0;
  const bridge::OptionalU32 recvLengthIn = bridge::TakeOptionalU32(c);
  if (!c.ok || (sendPresent && send.size() != sendLength)) return false;
  Bytes recv = OutputBuffer(recvLengthIn.value);
  DWORD recvLength = recvLengthIn.value;
  const LONG rv = SCardTransmit(
      static_cast<SCARDHANDLE>(card), sendPci.present ? sendPci.storage.data() : nullptr,
      sendPresent ? send.data() : nullptr, sendLength,
      recvPci.present ? recvPci.storage.data() : nullptr, recvPresent ? recv.data() : nullptr,
      recvLengthIn.present ? &recvLength : nullptr);
  bridge::PutU32(out, Result(rv));
  bridge::PutU32(out, LengthToWin(recvLength));
  const size_t data =
      recvPresent && rv == SCARD_S_SUCCESS ? std::min<size_t>(recvLength, recv.size()) : 0;
  bridge::PutBytes(out, recv.data(), data);
  if (recvPci.present) PutPci(out, recvPci);
  return true;
}

bool Control(Cursor& c, Bytes& out) {
  const uint64_t card = bridge::TakeU64(c);
  const uint32_t code = bridge::TakeU32(c);
  const uint32_t inSize = bridge::TakeU32(c);
  const bool inPresent = bridge::TakeU32(c) != 0;
  const Bytes in = inPresent ? bridge::TakeBytes(c, bridge::kMaxBuffer) : Bytes{};
  const bool outPresent = bridge::TakeU32(c) != 0;
  const uint32_t outSize = bridge::TakeU32(c);
  const bridge::OptionalU32 returnedIn = bridge::TakeOptionalU32(c);
  if (!c.ok || (inPresent && in.size() != inSize)) return false;
  Bytes buffer = OutputBuffer(outSize);
  DWORD returned = returnedIn.value;
  const LONG rv =
      SCardControl(static_cast<SCARDHANDLE>(card), bridge::ControlCodeToLite(code),
                   inPresent ? in.data() : nullptr, inSize, outPresent ? buffer.data() : nullptr,
                   outSize, returnedIn.present ? &returned : nullptr);
  bridge::PutU32(out, Result(rv));
  bridge::PutU32(out, LengthToWin(returned));
  const size_t data =
      outPresent && rv == SCARD_S_SUCCESS ? std::min<size_t>(returned, buffer.size()) : 0;
  bridge::PutBytes(out, buffer.data(), data);
  return true;
}

bool GetAttrib(Cursor& c, Bytes& out) {
  const uint64_t card = bridge::TakeU64(c);
  const uint32_t attribute = bridge::TakeU32(c);
  const bool bufferPresent = bridge::TakeU32(c) != 0;
  const bridge::OptionalU32 length = bridge::TakeOptionalU32(c);
  if (!c.ok) return false;
  VariableOutput attr = MakeVariableOutput(bufferPresent, length);
  const LONG rv =
      SCardGetAttrib(static_cast<SCARDHANDLE>(card), attribute, static_cast<LPBYTE>(Argument(attr)),
                     LengthArgument(attr, length.present));
  bridge::PutU32(out, Result(rv));
  PutVariableOutput(out, 0, attr, length.present, rv);
  return true;
}

bool Status(Cursor& c, Bytes& out) {
  const uint64_t card = bridge::TakeU64(c);
  const bool namesPresent = bridge::TakeU32(c) != 0;
  const bridge::OptionalU32 namesLength = bridge::TakeOptionalU32(c);
  const bridge::OptionalU32 stateIn = bridge::TakeOptionalU32(c);
  const bridge::OptionalU32 protocolIn = bridge::TakeOptionalU32(c);
  const bool atrPresent = bridge::TakeU32(c) != 0;
  const bridge::OptionalU32 atrLengthIn = bridge::TakeOptionalU32(c);
  if (!c.ok) return false;
  VariableOutput names = MakeVariableOutput(namesPresent, namesLength);
  DWORD state = stateIn.value;
  DWORD protocol = bridge::ProtocolToLite(protocolIn.value);
  VariableOutput atr = MakeVariableOutput(atrPresent, atrLengthIn);
  const LONG rv =
      SCardStatus(static_cast<SCARDHANDLE>(card), static_cast<LPSTR>(Argument(names)),
                  LengthArgument(names, namesLength.present), stateIn.present ? &state : nullptr,
                  protocolIn.present ? &protocol : nullptr, static_cast<LPBYTE>(Argument(atr)),
                  LengthArgument(atr, atrLengthIn.present));
  bridge::PutU32(out, Result(rv));
  PutVariableOutput(out, 0, names, namesLength.present, rv);
  bridge::PutU32(
      out, rv == SCARD_S_SUCCESS ? bridge::CardStateToWin(LengthToWin(state)) : LengthToWin(state));
  bridge::PutU32(out, bridge::ProtocolToWin(LengthToWin(protocol)));
  PutVariableOutput(out, 0, atr, atrLengthIn.present, rv);
  return true;
}

bool ListReaderGroups(Cursor& c, Bytes& out) {
  const uint64_t context = bridge::TakeU64(c);
  const bool bufferPresent = bridge::TakeU32(c) != 0;
  const bridge::OptionalU32 length = bridge::TakeOptionalU32(c);
  if (!c.ok) return false;
  VariableOutput groups = MakeVariableOutput(bufferPresent, length);
  const LONG rv = SCardListReaderGroups(static_cast<SCARDCONTEXT>(context),
                                        static_cast<LPSTR>(Argument(groups)),
                                        LengthArgument(groups, length.present));
  bridge::PutU32(out, Result(rv));
  PutVariableOutput(out, static_cast<SCARDCONTEXT>(context), groups, length.present, rv);
  return true;
}

bool ListReaders(Cursor& c, Bytes& out) {
  const uint64_t context = bridge::TakeU64(c);
  const OptionalText filter = TakeText(c);
  const bool bufferPresent = bridge::TakeU32(c) != 0;
  const bridge::OptionalU32 length = bridge::TakeOptionalU32(c);
  if (!c.ok) return false;
  VariableOutput readers = MakeVariableOutput(bufferPresent, length);
  const LONG rv = SCardListReaders(static_cast<SCARDCONTEXT>(context), Pointer(filter),
                                   static_cast<LPSTR>(Argument(readers)),
                                   LengthArgument(readers, length.present));
  bridge::PutU32(out, Result(rv));
  PutVariableOutput(out, static_cast<SCARDCONTEXT>(context), readers, length.present, rv);
  return true;
}

bool GetStatusChange(Cursor& c, Bytes& out) {
  const uint64_t context = bridge::TakeU64(c);
  const uint32_t timeout = bridge::TakeU32(c);
  const uint32_t count = bridge::TakeU32(c);
  const bool present = bridge::TakeU32(c) != 0;
  if (!c.ok || (present && count > bridge::kMaxReaderStates)) return false;
  const uint32_t records = present ? count : 0;
  std::vector<OptionalText> names(records);
  std::vector<SCARD_READERSTATE> states(records);
  for (uint32_t i = 0; i < records; ++i) {
    names[i] = TakeText(c);
    SCARD_READERSTATE& state = states[i];
    state.dwCurrentState = bridge::TakeU32(c);
    state.dwEventState = bridge::TakeU32(c);
    // A Windows ATR may be 36 bytes long; pcsc-lite's array holds 33.
    state.cbAtr = std::min<uint32_t>(bridge::TakeU32(c), MAX_ATR_SIZE);
    uint8_t atr[bridge::kWinAtrSize];
    bridge::Take(c, atr, sizeof atr);
    std::memcpy(state.rgbAtr, atr, sizeof state.rgbAtr);
  }
  if (!c.ok) return false;
  for (uint32_t i = 0; i < records; ++i) states[i].szReader = Pointer(names[i]);
  const LONG rv = SCardGetStatusChange(static_cast<SCARDCONTEXT>(context), timeout,
                                       present ? states.data() : nullptr, count);
  bridge::PutU32(out, Result(rv));
  bridge::PutU32(out, records);
  for (const SCARD_READERSTATE& state : states) {
    bridge::PutU32(out, LengthToWin(state.dwCurrentState));
    bridge::PutU32(out, LengthToWin(state.dwEventState));
    bridge::PutU32(out, LengthToWin(state.cbAtr));
    uint8_t atr[bridge::kWinAtrSize] = {};
    std::memcpy(atr, state.rgbAtr, sizeof state.rgbAtr);
    out.insert(out.end(), atr, atr + sizeof atr);
  }
  return true;
}

bool Serve(uint32_t operation, Cursor& c, Bytes& out) {
  switch (operation) {
    case bridge::kAccessStartedEvent:
      return AccessStartedEvent(c, out);
    case bridge::kEstablishContext:
      return EstablishContext(c, out);
    case bridge::kReleaseContext:
      return HandleOnly(c, out, SCardReleaseContext);
    case bridge::kCancel:
      return HandleOnly(c, out, SCardCancel);
    case bridge::kConnect:
      return Connect(c, out);
    case bridge::kReconnect:
      return Reconnect(c, out);
    case bridge::kDisconnect:
      return HandleAndDisposition(c, out, SCardDisconnect);
    case bridge::kBeginTransaction:
      return HandleOnly(c, out, SCardBeginTransaction);
    case bridge::kEndTransaction:
      return HandleAndDisposition(c, out, SCardEndTransaction);
    case bridge::kTransmit:
      return Transmit(c, out);
    case bridge::kControl:
      return Control(c, out);
    case bridge::kGetAttrib:
      return GetAttrib(c, out);
    case bridge::kStatus:
      return Status(c, out);
    case bridge::kListReaderGroups:
      return ListReaderGroups(c, out);
    case bridge::kListReaders:
      return ListReaders(c, out);
    case bridge::kGetStatusChange:
      return GetStatusChange(c, out);
    default:
      return false;
  }
}

// Serves requests until the peer closes the connection or breaks the protocol.
void ServeConnection(int fd) {
  for (;;) {
    uint8_t prefix[4];
    if (!ReadAll(fd, prefix, sizeof prefix)) return;
    const uint32_t size = prefix[0] | prefix[1] << 8 | prefix[2] << 16 | uint32_t{prefix[3]} << 24;
    if (size < 4 || size > bridge::kMaxMessage) return;
    Bytes request(size);
    if (!ReadAll(fd, request.data(), size)) return;
    Cursor c = bridge::MakeCursor(request);
    const uint32_t operation = bridge::TakeU32(c);
    Bytes response(4, 0);
    if (!Serve(operation, c, response)) {
      std::fprintf(stderr, "winscard bridge: malformed request for operation %u\n", operation);
      return;
    }
    const uint32_t length = static_cast<uint32_t>(response.size() - 4);
    for (int i = 0; i < 4; ++i) response[i] = static_cast<uint8_t>(length >> (8 * i));
    if (!WriteAll(fd, response.data(), response.size())) return;
  }
}

}  // namespace

int main() {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::perror("winscard bridge: listen");
    return 1;
  }
  std::printf("%u\n", unsigned{ntohs(address.sin_port)});
  std::fflush(stdout);
  pollfd waiting{listener, POLLIN, 0};
  if (poll(&waiting, 1, kAcceptTimeoutMs) != 1) {
    std::fprintf(stderr, "winscard bridge: nobody connected\n");
    return 1;
  }
  const int fd = accept(listener, nullptr, nullptr);
  close(listener);
  if (fd < 0) {
    std::perror("winscard bridge: accept");
    return 1;
  }
  int noDelay = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  ServeConnection(fd);
  close(fd);
  return 0;
}
