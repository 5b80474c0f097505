// The floor for the host's reader list: the least host that answers a list-readers request. It
// reads frames as the host does (4-byte little-endian length, then the body, through a 64 KiB
// stdio buffer), makes the host's SCardListReaders call for each (no group filter, the service
// allocates the list) and answers with one frame that carries the returned multi-string as it is,
// flushed. It parses nothing. Its context is established once, before the first frame, as an
// extension establishes the host's before listing.
#include <PCSC/winscard.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

int main() {
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    return 1;
  }
  static char inBuffer[64 * 1024];
  std::setvbuf(stdin, inBuffer, _IOFBF, sizeof inBuffer);
  std::vector<char> body;
  std::string frame;
  unsigned char prefix[4];
  while (std::fread(prefix, 1, 4, stdin) == 4) {
    const uint32_t length =
        prefix[0] | prefix[1] << 8 | prefix[2] << 16 | static_cast<uint32_t>(prefix[3]) << 24;
    if (length == 0xFFFFFFFFu) break;
    body.resize(length);
    if (std::fread(body.data(), 1, length, stdin) != length) break;

    char* readers = nullptr;
    DWORD readersLength = SCARD_AUTOALLOCATE;
    const LONG rv =
        SCardListReaders(context, nullptr, reinterpret_cast<char*>(&readers), &readersLength);
    const size_t size = rv == SCARD_S_SUCCESS && readers != nullptr ? readersLength : 0;
    frame.assign(4, '\0');
    for (size_t i = 0; i < 4; ++i) frame[i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    frame.append(readers != nullptr ? readers : "", size);
    if (readers != nullptr) SCardFreeMemory(context, readers);

    std::fwrite(frame.data(), 1, frame.size(), stdout);
    if (std::fflush(stdout) != 0) break;
  }
  SCardReleaseContext(context);
  return 0;
}
