// What the fuzz targets share: a fresh host per input, the host's end turned into an exception,
// and the checks that every reply frame must pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace fuzz {

// Thrown by the fuzzers' EndHost in place of ending the process.
struct HostEnded {
  int status;
};

// Zero HandleSlots and argument cells, and a fresh fake service that keeps no call record.
void ResetHost();

// An output stream in memory; Take() closes it and returns what was written.
struct Output {
  Output();
  ~Output();
  std::FILE* file = nullptr;
  std::string Take();

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
};

// Splits the host's output into reply bodies; traps on a truncated frame.
std::vector<std::string> SplitFrames(const std::string& output);

// Traps unless body is one JSON object of string values whose first members are "i", callName
// (when not null) and "resp", followed by exactly the given members when given.
void CheckReply(const std::string& body, const char* callName = nullptr,
                const std::vector<const char*>* members = nullptr);

// Traps unless every piece of memory the fake service handed out went back exactly once.
void CheckServiceMemory();

// Stops the run at a failed check, so the fuzzer saves the input.
[[noreturn]] void Fail(const char* what);

}  // namespace fuzz
