#include "child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace bench {
namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "bench: %s: %s\n", what, std::strerror(errno));
  std::exit(2);
}

// Makes sure at least n unread bytes are pending.
void Fill(Child& child, size_t n) {
  if (child.pendingStart > 0 && child.pendingStart == child.pending.size()) {
    child.pending.clear();
    child.pendingStart = 0;
  }
  while (child.pending.size() - child.pendingStart < n) {
    char buffer[256 * 1024];
    const ssize_t got = read(child.fromChild, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      errno = 0;
      Fail("the program's output ended");
    }
    if (child.pendingStart > (1u << 20)) {
      child.pending.erase(0, child.pendingStart);
      child.pendingStart = 0;
    }
    child.pending.append(buffer, static_cast<size_t>(got));
  }
}

uint32_t LengthAt(const Child& child) {
  const auto* p = reinterpret_cast<const unsigned char*>(child.pending.data() + child.pendingStart);
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

Child Spawn(const std::vector<std::string>& argv) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) Fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  Child child;
  if (posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    Fail(argv[0].c_str());
  }
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  child.toChild = in[1];
  child.fromChild = out[0];
  return child;
}

int Finish(Child& child) {
  if (child.toChild >= 0) close(child.toChild);
  int status = 0;
  const pid_t done = waitpid(child.pid, &status, 0);
  if (child.fromChild >= 0) close(child.fromChild);
  child.toChild = child.fromChild = -1;
  return done == child.pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Frame(const std::string& body) {
  std::string frame(4, '\0');
  for (size_t i = 0; i < 4; ++i) frame[i] = static_cast<char>((body.size() >> (8 * i)) & 0xFF);
  return frame + body;
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t put = write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) Fail("write to the program");
    data += put;
    size -= static_cast<size_t>(put);
  }
}

void WriteAll(int fd, const std::string& data) {
  WriteAll(fd, data.data(), data.size());
}

std::string ReadReply(Child& child) {
  Fill(child, 4);
  const uint32_t length = LengthAt(child);
  Fill(child, 4 + size_t{length});
  std::string body = child.pending.substr(child.pendingStart + 4, length);
  child.pendingStart += 4 + size_t{length};
  return body;
}

void SkipReplies(Child& child, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    Fill(child, 4);
    const uint32_t length = LengthAt(child);
    Fill(child, 4 + size_t{length});
    child.pendingStart += 4 + size_t{length};
  }
}

long PeakRssKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace bench
