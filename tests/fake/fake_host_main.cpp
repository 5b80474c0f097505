// The host program over the fake service: a smart-card service that answers every call at once
// with success and empty outputs. Used by soak runs and benchmarks, where only the host's own
// cost should count.
#include <csignal>
#include <cstdio>

#include "fake_service.h"
#include "host/framing.h"
#include "host/main_loop.h"

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  fake::g_service.record = false;
  static char inBuffer[64 * 1024];
  std::setvbuf(stdin, inBuffer, _IOFBF, sizeof inBuffer);
  return host::RunHost(stdin, stdout);
}
