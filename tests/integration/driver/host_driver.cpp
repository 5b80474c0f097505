#include "host_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
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

// Pulls whatever the host has written into pending; false at end of output.
bool ReadMore(HostProcess& host, int timeoutMs) {
  pollfd p{host.fromHost, POLLIN, 0};
  const int ready = ::poll(&p, 1, timeoutMs);
  if (ready <= 0) return ready == 0;
  char buffer[65536];
  const ssize_t n = ::read(host.fromHost, buffer, sizeof buffer);
  if (n <= 0) return false;
  host.pending.append(buffer, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> TakeFrame(HostProcess& host) {
  if (host.pending.size() < 4) return std::nullopt;
  size_t length = 0;
  for (int i = 0; i < 4; ++i) {
    length |= size_t{static_cast<uint8_t>(host.pending[static_cast<size_t>(i)])} << (8 * i);
  }
  if (host.pending.size() < 4 + length) return std::nullopt;
  std::string body = host.pending.substr(4, length);
  host.pending.erase(0, 4 + length);
  return body;
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
    if (left == 0 || !ReadMore(host, left)) return std::nullopt;
  }
}

std::optional<std::string> ReadLine(HostProcess& host, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = host.pending.find('\n');
    if (end != std::string::npos) {
      std::string line = host.pending.substr(0, end);
      host.pending.erase(0, end + 1);
      return line;
    }
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || !ReadMore(host, left)) return std::nullopt;
  }
}

bool QuietFor(HostProcess& host, int timeoutMs) {
  const size_t before = host.pending.size();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (int left; (left = MillisecondsLeft(deadline)) > 0;) {
    if (!ReadMore(host, left)) break;
    if (host.pending.size() != before) return false;
  }
  return host.pending.size() == before;
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
    const pid_t done = ::waitpid(host.pid, &raw, WNOHANG);
    if (done == host.pid) {
      host.exitStatus = StatusOf(raw);
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
