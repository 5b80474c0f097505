// A program under benchmark, started with pipes on its standard input and output, and the frame
// traffic with it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Child {
  pid_t pid = -1;
  int toChild = -1;     // its standard input
  int fromChild = -1;   // its standard output
  std::string pending;  // bytes read from it that no frame has taken yet
  size_t pendingStart = 0;
};

// Starts argv[0] with argv; exits the benchmark when that fails.
Child Spawn(const std::vector<std::string>& argv);
// Ends its input and waits for it; returns the exit status (or -1).
int Finish(Child& child);

// A frame: the 4-byte little-endian length, then the body.
std::string Frame(const std::string& body);
void WriteAll(int fd, const char* data, size_t size);
void WriteAll(int fd, const std::string& data);
// The next reply frame's body; exits the benchmark when the program's output ends.
std::string ReadReply(Child& child);
// Reads and drops count reply frames, faster than ReadReply.
void SkipReplies(Child& child, size_t count);

// Peak resident set (VmHWM) of a running process, in KiB.
long PeakRssKib(pid_t pid);

// Monotonic clock in nanoseconds.
int64_t NowNs();
double Median(std::vector<double> values);

}  // namespace bench
