// The whole main loop over raw bytes: frames, bodies, keys and values as a browser could send
// them, against the fake service. Every reply must be a well-formed reply object, and every
// piece of service memory must go back.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "host/main_loop.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ResetHost();
  // fmemopen wants a writable buffer of at least one byte.
  std::vector<char> input(data, data + size);
  input.push_back('\0');
  std::FILE* in = fmemopen(input.data(), size == 0 ? 1 : size, "rb");
  if (in == nullptr) return 0;
  if (size == 0) std::fgetc(in);  // leaves the stream at its end, as an empty input
  fuzz::Output out;
  try {
    if (host::RunHost(in, out.file) != 0) fuzz::Fail("host ended with a nonzero status");
  } catch (const fuzz::HostEnded& ended) {
    // Only an attribute buffer that cannot be made ends the host early.
    if (ended.status != static_cast<int>(0x80100006u)) fuzz::Fail("host ended unexpectedly");
  }
  std::fclose(in);
  for (const std::string& body : fuzz::SplitFrames(out.Take())) fuzz::CheckReply(body);
  fuzz::CheckServiceMemory();
  return 0;
}
