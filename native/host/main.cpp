// tessera-smartcard: the native-messaging host that gives a browser extension the machine's
// smart-card readers. Arguments and environment are ignored; standard input and output carry
// the frames.
#include <cstdio>

#ifndef _WIN32
#include <csignal>
#endif

#include "host/framing.h"
#include "host/main_loop.h"

int main() {
#ifndef _WIN32
  // A closed output must not kill the host by signal; the frame writer sees the failed write.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  host::UseBinaryStdio();
  static char inBuffer[64 * 1024];
  std::setvbuf(stdin, inBuffer, _IOFBF, sizeof inBuffer);
  return host::RunHost(stdin, stdout);
}
