// The host program over the fake service: a smart-card service that answers every call at once
// with success and empty outputs. Used by soak runs and benchmarks, where only the host's own
// cost should count.
#include <csignal>
#include <cstdio>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "fake_service.h"
#include "host/framing.h"
#include "host/main_loop.h"

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  fake::g_service.record = false;
#ifdef __GLIBC__
  // The real host's allocator settings: large buffers are always mapped fresh, so their untouched
  // pages cost nothing (glibc's default would move the threshold up after the first free).
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 2 * 1024 * 1024);
#endif
  static char inBuffer[64 * 1024];
  std::setvbuf(stdin, inBuffer, _IOFBF, sizeof inBuffer);
  return host::RunHost(stdin, stdout);
}
