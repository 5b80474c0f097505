// tessera-vcard: a virtual smart card for a vpcd reader, driven from the command line, by
// signals or by lines on standard input. Events go to standard output, one line each, flushed,
// so that shell scripts and node can follow them.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "card_runner.h"
#include "card_session.h"

namespace {

const char kUsage[] =
    "usage: tessera-vcard [options]\n"
    "  --host ADDR             reader address (default $TESSERA_VPCD_HOST or 127.0.0.1)\n"
    "  --port N                reader port (default $TESSERA_VPCD_PORT_0 or 40000)\n"
    "  --reader I              use the rig's reader I: port $TESSERA_VPCD_PORT_I\n"
    "  --atr HEX               the card's ATR\n"
    "  --rule CMD=RESP[@MS]    answer APDU CMD (hex; CMD* matches a prefix) with RESP, after MS\n"
    "  --no-builtin            answer unscripted APDUs with 6D00 instead of the built-in card\n"
    "  --delay-ms N            wait N ms before every answer\n"
    "  --start-removed         do not insert the card at start\n"
    "  --remove-after MS       remove the card MS after each insertion\n"
    "  --insert-after MS       insert the card again MS after each removal\n"
    "  --cycles N              stop the timed removals after N of them (default 1; 0: forever)\n"
    "  --stdin                 read commands from standard input: insert, remove, quit\n"
    "                          (end of input quits)\n"
    "  --connect-timeout-ms N  how long to wait for the reader (default 5000)\n"
    "  --quiet                 do not report each APDU and control message\n"
    "Signals: SIGUSR1 removes the card, SIGUSR2 inserts it, SIGTERM/SIGINT end the program.\n"
    "Output lines: ready, inserted, removed, apdu CMD RESP, control NAME, error TEXT, bye.\n";

int g_signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
  const unsigned char code = static_cast<unsigned char>(signal);
  const ssize_t ignored = ::write(g_signalPipe[1], &code, 1);
  (void)ignored;
}

void Say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

struct Options {
  std::string host = vcard::RigHost();
  int port = vcard::RigPort(0);
  vcard::CardBehaviour behaviour;
  bool startRemoved = false;
  long removeAfterMs = -1;
  long insertAfterMs = -1;
  long cycles = 1;
  bool readStdin = false;
  int connectTimeoutMs = 5000;
  bool quiet = false;
};

bool ParseNumber(const char* text, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && value >= 0;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    long number = 0;
    if (arg == "--host" && hasValue) {
      options.host = argv[++i];
    } else if (arg == "--port" && hasValue && ParseNumber(argv[i + 1], number)) {
      options.port = static_cast<int>(number);
      ++i;
    } else if (arg == "--reader" && hasValue && ParseNumber(argv[i + 1], number)) {
      options.port = vcard::RigPort(static_cast<int>(number));
      ++i;
    } else if (arg == "--atr" && hasValue) {
      if (!vcard::FromHex(argv[++i], options.behaviour.atr)) return false;
    } else if (arg == "--rule" && hasValue) {
      vcard::Rule rule;
      if (!vcard::ParseRule(argv[++i], rule)) return false;
      options.behaviour.rules.push_back(rule);
    } else if (arg == "--no-builtin") {
      options.behaviour.builtIn = false;
    } else if (arg == "--delay-ms" && hasValue && ParseNumber(argv[i + 1], number)) {
      options.behaviour.delayMs = static_cast<int>(number);
      ++i;
    } else if (arg == "--start-removed") {
      options.startRemoved = true;
    } else if (arg == "--remove-after" && hasValue &&
               ParseNumber(argv[i + 1], options.removeAfterMs)) {
      ++i;
    } else if (arg == "--insert-after" && hasValue &&
               ParseNumber(argv[i + 1], options.insertAfterMs)) {
      ++i;
    } else if (arg == "--cycles" && hasValue && ParseNumber(argv[i + 1], options.cycles)) {
      ++i;
    } else if (arg == "--stdin") {
      options.readStdin = true;
    } else if (arg == "--connect-timeout-ms" && hasValue && ParseNumber(argv[i + 1], number)) {
      options.connectTimeoutMs = static_cast<int>(number);
      ++i;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else {
      return false;
    }
  }
  return true;
}

using Clock = std::chrono::steady_clock;

// The card's whole life: one connection at a time, timers, signals and commands.
struct Card {
  const Options& options;
  int fd = -1;
  long removals = 0;
  Clock::time_point removeAt = Clock::time_point::max();
  Clock::time_point insertAt = Clock::time_point::max();
};

bool TimedRemovalsLeft(const Card& card) {
  return card.options.removeAfterMs >= 0 &&
         (card.options.cycles == 0 || card.removals < card.options.cycles);
}

bool Insert(Card& card) {
  if (card.fd >= 0) return true;
  card.fd =
      vcard::ConnectToReader(card.options.host, card.options.port, card.options.connectTimeoutMs);
  card.insertAt = Clock::time_point::max();
  if (card.fd < 0) {
    Say("error cannot reach the reader at " + card.options.host + ":" +
        std::to_string(card.options.port));
    return false;
  }
  Say("inserted");
  if (TimedRemovalsLeft(card)) {
    card.removeAt = Clock::now() + std::chrono::milliseconds(card.options.removeAfterMs);
  }
  return true;
}

void Remove(Card& card) {
  card.removeAt = Clock::time_point::max();
  if (card.fd < 0) return;
  ::close(card.fd);
  card.fd = -1;
  ++card.removals;
  Say("removed");
  if (card.options.insertAfterMs >= 0 && card.options.removeAfterMs >= 0) {
    card.insertAt = Clock::now() + std::chrono::milliseconds(card.options.insertAfterMs);
  }
}

int MillisecondsUntil(Clock::time_point when) {
  if (when == Clock::time_point::max()) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

// Handles one line of standard input; false means quit.
bool Command(Card& card, std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  if (line == "insert") {
    Insert(card);  // a failure is reported on standard output; the card stays out
    return true;
  }
  if (line == "remove") {
    Remove(card);
    return true;
  }
  if (line == "quit") return false;
  if (!line.empty()) Say("error unknown command " + line);
  return true;
}

int Run(Card& card) {
  std::string input;
  bool stdinOpen = card.options.readStdin;
  for (;;) {
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {g_signalPipe[0], POLLIN, 0};
    const nfds_t stdinIndex = stdinOpen ? count++ : 99;
    if (stdinOpen) fds[stdinIndex] = {STDIN_FILENO, POLLIN, 0};
    const nfds_t cardIndex = card.fd >= 0 ? count++ : 99;
    if (card.fd >= 0) fds[cardIndex] = {card.fd, POLLIN, 0};
    int timeout = MillisecondsUntil(std::min(card.removeAt, card.insertAt));
    const int ready = ::poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) return 1;

    if (Clock::now() >= card.removeAt) Remove(card);
    if (Clock::now() >= card.insertAt && !Insert(card)) return 1;
    if (ready <= 0) continue;

    if (fds[0].revents & POLLIN) {
      unsigned char code = 0;
      if (::read(g_signalPipe[0], &code, 1) == 1) {
        if (code == SIGUSR1) Remove(card);
        if (code == SIGUSR2 && !Insert(card)) return 1;
        if (code == SIGTERM || code == SIGINT) return 0;
      }
    }
    if (stdinOpen && (fds[stdinIndex].revents & (POLLIN | POLLHUP))) {
      char buffer[256];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n <= 0) return 0;
      input.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = input.find('\n')) != std::string::npos;) {
        const std::string line = input.substr(0, end);
        input.erase(0, end + 1);
        if (!Command(card, line)) return 0;
      }
    }
    if (card.fd >= 0 && cardIndex < count && (fds[cardIndex].revents & (POLLIN | POLLHUP))) {
      vcard::Exchange seen;
      const vcard::ServeResult result =
          vcard::ServeOneMessage(card.fd, card.options.behaviour, seen);
      if (result != vcard::ServeResult::kServed) {
        ::close(card.fd);
        card.fd = -1;
        Say("error the reader closed the connection");
        return 3;
      }
      if (!card.options.quiet) {
        if (seen.control) {
          Say("control " + vcard::Describe(seen));
        } else {
          Say("apdu " + vcard::ToHex(seen.command) + " " + vcard::ToHex(seen.response));
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT}) sigaction(signal, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  Card card{options};
  Say("ready");
  if (!options.startRemoved && !Insert(card)) return 1;
  const int status = Run(card);
  if (card.fd >= 0) ::close(card.fd);
  Say("bye");
  return status;
}
