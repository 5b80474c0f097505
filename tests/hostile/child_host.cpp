#include "child_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace hostile {

ChildHost StartHost(const std::string& program) {
  // A host that ends while we write must not end the test by SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  int in[2];
  int out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return ChildHost{};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    // The host must not inherit our ignored SIGPIPE: it sets up its own handling.
    signal(SIGPIPE, SIG_DFL);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  fcntl(in[1], F_SETFD, FD_CLOEXEC);
  fcntl(out[0], F_SETFD, FD_CLOEXEC);
  return ChildHost{pid, in[1], out[0]};
}

bool Send(ChildHost& host, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(host.toHost, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string Frame(const std::string& body) {
  std::string frame(4, '\0');
  const size_t n = body.size();
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return frame + body;
}

namespace {

// Reads exactly n bytes before the deadline.
bool ReadExactly(int fd, char* target, size_t n, std::chrono::steady_clock::time_point deadline) {
  size_t done = 0;
  while (done < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t got = read(fd, target + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

std::optional<std::string> ReadReply(ChildHost& host, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  unsigned char prefix[4];
  if (!ReadExactly(host.fromHost, reinterpret_cast<char*>(prefix), 4, deadline)) return {};
  const size_t n = size_t{prefix[0]} | size_t{prefix[1]} << 8 | size_t{prefix[2]} << 16 |
                   size_t{prefix[3]} << 24;
  std::string body(n, '\0');
  if (n > 0 && !ReadExactly(host.fromHost, &body[0], n, deadline)) return {};
  return body;
}

bool Quiet(ChildHost& host, int quietMs) {
  pollfd p{host.fromHost, POLLIN, 0};
  return poll(&p, 1, quietMs) == 0;
}

long PeakRssKb(const ChildHost& host) {
  std::ifstream status("/proc/" + std::to_string(host.pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

bool Alive(const ChildHost& host) {
  if (host.pid <= 0) return false;
  // WNOWAIT leaves an ended child to be collected, with its figures, by WaitForEnd.
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(host.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

int WaitForEnd(ChildHost& host, int timeoutMs) {
  if (host.pid <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    rusage usage{};
    const pid_t done = wait4(host.pid, &status, WNOHANG, &usage);
    if (done == host.pid) host.peakRssKb = usage.ru_maxrss;
    if (done == host.pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(host.pid, SIGKILL);
      waitpid(host.pid, &status, 0);
      host.pid = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  host.pid = -1;
  if (host.toHost >= 0) close(host.toHost);
  if (host.fromHost >= 0) close(host.fromHost);
  host.toHost = host.fromHost = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int Finish(ChildHost& host, int timeoutMs) {
  if (host.toHost >= 0) {
    close(host.toHost);
    host.toHost = -1;
  }
  return WaitForEnd(host, timeoutMs);
}

}  // namespace hostile
