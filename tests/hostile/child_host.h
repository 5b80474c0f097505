// The host binary as a child process on two pipes, the way a browser runs it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace hostile {

struct ChildHost {
  pid_t pid = -1;
  int toHost = -1;      // the host's standard input
  int fromHost = -1;    // the host's standard output
  long peakRssKb = -1;  // the ended child's peak resident memory, from the kernel's accounting
};

// Starts program with its standard streams on fresh pipes (standard error goes to ours).
ChildHost StartHost(const std::string& program);

// Writes all bytes; false when the host no longer reads (it ended or closed its input).
bool Send(ChildHost& host, const std::string& bytes);
// A frame around body.
std::string Frame(const std::string& body);

// The next reply body, or nothing when no whole frame arrives within timeoutMs or the output ends.
std::optional<std::string> ReadReply(ChildHost& host, int timeoutMs);
// True when no byte arrives within quietMs.
bool Quiet(ChildHost& host, int quietMs);

// Peak resident memory of the running child in KiB (VmHWM), or -1 once it has ended.
long PeakRssKb(const ChildHost& host);
// True while the child has not ended.
bool Alive(const ChildHost& host);

// Closes the host's input and waits up to timeoutMs for it to end. Returns its exit status, 128+n
// for a signal n, or -1 when it had to be killed. Sets peakRssKb.
int Finish(ChildHost& host, int timeoutMs);
// Waits for a child that is expected to end by itself (same return values as Finish).
int WaitForEnd(ChildHost& host, int timeoutMs);

}  // namespace hostile
