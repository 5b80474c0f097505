// tessera-talk: talks to the host the way an extension would, from JSON lines, and shows every
// request and reply with readable forms beside them. See script.h for the placeholders.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "driver/host_driver.h"
#include "notes.h"
#include "script.h"

namespace {

const char kUsage[] =
    "usage: tessera-talk [--host PATH | --host-command \"CMD ARG...\"] [--timeout-ms N]\n"
    "                    [--full] [SCRIPT | -]\n"
    "       tessera-talk --version\n"
    "Reads one JSON request per line (blank lines are skipped, lines starting with # are\n"
    "printed as headings),\n"
    "sends each to the host and prints request, reply and decoded forms. Placeholders such as\n"
    "\"$context\": true, \"$card\": true, \"$apdu\": \"00A40400\", \"$pci\": true, \"$reader0\",\n"
    "\"$wait\": [{\"reader\": \"$reader0\", \"current\": \"$last\"}] and \"$meanwhile\": \"cmd\"\n"
    "refer to earlier replies (see docs/test-rig.md). Exit status: 0 when every request that\n"
    "should be answered was, 1 otherwise, 2 for bad usage. A key that a placeholder also fills\n"
    "(\"b\" beside \"$card\": true is a byte of the card handle) is warned about on standard\n"
    "error; the request is still sent.\n";

std::string Shorten(const std::string& text, bool full) {
  if (full || text.size() <= 400) return text;
  return text.substr(0, 380) + "... (" + std::to_string(text.size()) + " bytes)";
}

pid_t RunMeanwhile(const std::string& command) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

void Reap(pid_t pid) {
  if (pid <= 0) return;
  for (int i = 0; i < 1000; ++i) {  // at most 10 s
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// How long to wait for a reply: a state-change wait may take its own timeout.
int ReplyTimeout(const talk::Json& request, int timeoutMs) {
  if (request.value("c", 0) == 133 && request.contains("m") && request["m"].is_number()) {
    const int64_t wait = request["m"].get<int64_t>();
    if (wait < 0 || wait >= 0xFFFFFFFFLL) return 600000;
    return static_cast<int>(std::min<int64_t>(wait, 600000)) + timeoutMs;
  }
  return timeoutMs;
}

bool Answered(int code) {
  static const int kCodes[] = {103, 107, 108, 109, 111, 112, 113, 114,
                               122, 133, 147, 149, 159, 160, 167, 169};
  for (const int known : kCodes) {
    if (code == known) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> command = driver::HostCommand(TESSERA_HOST_BINARY);
  int timeoutMs = 10000;
  bool full = false;
  std::string scriptPath = "-";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--host" && i + 1 < argc) {
      command = {argv[++i]};
    } else if (arg == "--host-command" && i + 1 < argc) {
      command.clear();
      std::string words = argv[++i];
      for (size_t at = 0; at < words.size();) {
        const size_t space = words.find(' ', at);
        const std::string word = words.substr(at, space - at);
        if (!word.empty()) command.push_back(word);
        if (space == std::string::npos) break;
        at = space + 1;
      }
    } else if (arg == "--timeout-ms" && i + 1 < argc) {
      timeoutMs = std::atoi(argv[++i]);
    } else if (arg == "--full") {
      full = true;
    } else if (arg == "--version") {
      std::printf("tessera-talk %s\n", TESSERA_VERSION);
      return 0;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      std::fputs(kUsage, stderr);
      return 2;
    } else {
      scriptPath = arg;
    }
  }
  std::ifstream file;
  if (scriptPath != "-") {
    file.open(scriptPath);
    if (!file) {
      std::fprintf(stderr, "tessera-talk: cannot read %s\n", scriptPath.c_str());
      return 2;
    }
  }
  std::istream& script = scriptPath == "-" ? std::cin : file;

  ::signal(SIGPIPE, SIG_IGN);
  driver::HostProcess host;
  if (command.empty() || !driver::StartHost(host, command)) {
    std::fprintf(stderr, "tessera-talk: cannot start the host\n");
    return 2;
  }
  std::printf("-- host started: %s (pid %d)\n", command.front().c_str(),
              static_cast<int>(host.pid));

  talk::SessionState state;
  bool allAnswered = true;
  for (std::string line; std::getline(script, line);) {
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos) continue;
    if (line[start] == '#') {  // comments are the script's headings
      std::printf("\n%s\n", line.c_str() + start);
      continue;
    }
    const talk::Expanded expanded = talk::ExpandLine(line, state);
    if (!expanded.error.empty()) {
      std::printf("!! %s: %s\n", expanded.error.c_str(), line.c_str());
      allAnswered = false;
      continue;
    }
    std::fflush(stdout);
    for (const std::string& warning : expanded.warnings) {
      std::fprintf(stderr, "tessera-talk: warning: %s\n", warning.c_str());
    }
    const std::string body = expanded.request.dump();
    std::printf(">> %s\n", Shorten(body, full).c_str());
    std::fflush(stdout);
    if (!driver::SendFrame(host, body)) {
      std::printf("!! the host no longer reads its input\n");
      allAnswered = false;
      break;
    }
    const pid_t meanwhile = expanded.meanwhile.empty() ? -1 : RunMeanwhile(expanded.meanwhile);
    if (meanwhile > 0) std::printf("   (meanwhile: %s)\n", expanded.meanwhile.c_str());
    std::fflush(stdout);
    const int code = expanded.request.value("c", 0);
    const std::optional<std::string> reply =
        driver::ReadReply(host, Answered(code) ? ReplyTimeout(expanded.request, timeoutMs) : 300);
    Reap(meanwhile);
    if (!reply) {
      std::printf("-- no reply%s\n", Answered(code) ? "" : " (as expected for this code)");
      if (Answered(code)) allAnswered = false;
      continue;
    }
    std::printf("<< %s\n", Shorten(*reply, full).c_str());
    const std::optional<driver::Members> members = driver::DecodeReply(*reply);
    if (!members) {
      std::printf("!! the reply is not a flat object of strings\n");
      allAnswered = false;
      continue;
    }
    for (const std::string& note : talk::DescribeReply(*members)) std::printf("%s\n", note.c_str());
    talk::Learn(expanded.request, *members, state);
    std::fflush(stdout);
  }
  driver::CloseInput(host);
  const std::optional<int> status = driver::WaitExit(host, 5000);
  if (status) {
    std::printf("-- host exited with status %d\n", *status);
  } else {
    std::printf("-- host did not end within 5 s of the end of its input; stopping it\n");
    allAnswered = false;
  }
  driver::StopHost(host);
  return allAnswered ? 0 : 1;
}
