// tessera-smartcard: the native-messaging host that gives a browser extension the machine's
// smart-card readers. Arguments and environment are ignored; standard input and output carry
// the frames.
#include <cstdio>

#ifndef _WIN32
#include <csignal>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "host/framing.h"
#include "host/main_loop.h"

int main() {
#ifndef _WIN32
  // A closed output must not kill the host by signal; the frame writer sees the failed write.
  std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef __GLIBC__
  // An extended APDU turns into a few hundred KiB of text and buffers. By default glibc maps
  // such blocks fresh and hands freed memory straight back, so every large request paid for
  // zeroing its pages again; keeping up to 2 MiB makes the next one reuse them.
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 2 * 1024 * 1024);
#endif
  host::UseBinaryStdio();
  static char inBuffer[64 * 1024];
  std::setvbuf(stdin, inBuffer, _IOFBF, sizeof inBuffer);
  // Replies to requests that arrived together leave together (the loop sends them before it
  // would wait): 16 KiB hold some 300 short replies, and a large reply, which stdio copies
  // into the buffer up to its size, is copied little.
  static char outBuffer[16 * 1024];
  std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  return host::RunHost(stdin, stdout);
}
