#include "host_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

namespace driver {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Pulls whatever the host has written into pending: the number of bytes, 0 when none came within
// timeoutMs, -1 at end of output. Taken bytes are dropped only once they are half of pending, so
// a long run of small frames costs no more than reading them.
long ReadMore(HostProcess& host, int timeoutMs) {
  pollfd p{host.fromHost, POLLIN, 0};
  const int ready = ::poll(&p, 1, timeoutMs);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0) return 0;
  char buffer[65536];
  const ssize_t n = ::read(host.fromHost, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return 0;
  if (n <= 0) return -1;
  if (host.pendingAt > host.pending.size() / 2) {
    host.pending.erase(0, host.pendingAt);
    host.pendingAt = 0;
  }
  host.pending.append(buffer, static_cast<size_t>(n));
  return static_cast<long>(n);
}

// Takes count bytes after skip bytes of the untaken ones.
std::string Take(HostProcess& host, size_t skip, size_t count) {
  std::string taken = host.pending.substr(host.pendingAt + skip, count);
  host.pendingAt += skip + count;
  if (host.pendingAt == host.pending.size()) {
    host.pending.clear();
    host.pendingAt = 0;
  }
  return taken;
}

std::optional<std::string> TakeFrame(HostProcess& host) {
  const size_t available = host.pending.size() - host.pendingAt;
  if (available < 4) return std::nullopt;
  size_t length = 0;
  for (size_t i = 0; i < 4; ++i) {
    length |= size_t{static_cast<uint8_t>(host.pending[host.pendingAt + i])} << (8 * i);
  }
  if (available < 4 + length) return std::nullopt;
  return Take(host, 4, length);
}

int StatusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

std::vector<std::string> HostCommand(const std::string& defaultBinary) {
  const char* configured = std::getenv("TESSERA_HOST_COMMAND");
  if (configured == nullptr || *configured == '\0') return {defaultBinary};
  std::vector<std::string> words;
  std::istringstream stream(configured);
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

bool StartHost(HostProcess& host, const std::vector<std::string>& command) {
  if (command.empty()) return false;
  ::signal(SIGPIPE, SIG_IGN);
  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0) return false;
  if (::pipe2(output, O_CLOEXEC) != 0) {
    ::close(input[0]);
    ::close(input[1]);
    return false;
  }
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(input[0], STDIN_FILENO);
    ::dup2(output[1], STDOUT_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(input[0]);
  ::close(output[1]);
  if (pid < 0) {
    ::close(input[1]);
    ::close(output[0]);
    return false;
  }
  host = HostProcess{};
  host.pid = pid;
  host.toHost = input[1];
  host.fromHost = output[0];
  return true;
}

std::string Frame(const std::string& body) {
  std::string frame(4, '\0');
  const size_t n = body.size();
  for (size_t i = 0; i < 4; ++i) frame[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return frame + body;
}

bool SendRaw(HostProcess& host, const std::string& bytes) {
  if (host.toHost < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(host.toHost, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SendFrame(HostProcess& host, const std::string& body) {
  return SendRaw(host, Frame(body));
}

std::optional<std::string> ReadReply(HostProcess& host, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (std::optional<std::string> frame = TakeFrame(host)) return frame;
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || ReadMore(host, left) < 0) return std::nullopt;
  }
}

std::optional<std::string> ReadLine(HostProcess& host, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = host.pending.find('\n', host.pendingAt);
    if (end != std::string::npos) {
      std::string line = Take(host, 0, end - host.pendingAt);
      Take(host, 0, 1);
      return line;
    }
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || ReadMore(host, left) < 0) return std::nullopt;
  }
}

bool QuietFor(HostProcess& host, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (int left; (left = MillisecondsLeft(deadline)) > 0;) {
    const long got = ReadMore(host, left);
    if (got < 0) break;
    if (got > 0) return false;
  }
  return true;
}

void CloseInput(HostProcess& host) {
  if (host.toHost >= 0) ::close(host.toHost);
  host.toHost = -1;
}

std::optional<int> WaitExit(HostProcess& host, int timeoutMs) {
  if (host.exitStatus) return host.exitStatus;
  if (host.pid <= 0) return std::nullopt;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int raw = 0;
    rusage usage{};
    const pid_t done = ::wait4(host.pid, &raw, WNOHANG, &usage);
    if (done == host.pid) {
      host.exitStatus = StatusOf(raw);
      host.peakRssKb = usage.ru_maxrss;
      host.pid = -1;
      return host.exitStatus;
    }
    if (done < 0 || MillisecondsLeft(deadline) == 0) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void StopHost(HostProcess& host) {
  CloseInput(host);
  if (host.pid > 0 && !WaitExit(host, 2000)) {
    ::kill(host.pid, SIGKILL);
    int raw = 0;
    ::waitpid(host.pid, &raw, 0);
    host.pid = -1;
  }
  if (host.fromHost >= 0) ::close(host.fromHost);
  host.fromHost = -1;
}

int Finish(HostProcess& host, int timeoutMs) {
  CloseInput(host);
  WaitExit(host, timeoutMs);
  StopHost(host);
  return host.exitStatus.value_or(-1);
}

bool Running(const HostProcess& host) {
  if (host.pid <= 0) return false;
  // WNOWAIT leaves an ended child to be collected, with its figures, by WaitExit.
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(host.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

long PeakRssKb(pid_t pid) {
  if (pid <= 0) return -1;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::optional<Members> DecodeReply(const std::string& reply) {
  const nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(reply, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  Members members;
  for (auto it = parsed.begin(); it != parsed.end(); ++it) {
    if (!it.value().is_string()) return std::nullopt;
    members.emplace_back(it.key(), it.value().get<std::string>());
  }
  return members;
}

}  // namespace driver
