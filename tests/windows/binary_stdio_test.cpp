// Frames whose length bytes or bodies hold 0x0A, 0x0D or 0x1A must cross the host's standard
// streams unchanged. A C runtime that keeps text mode turns LF into CR LF on output, drops CR on
// input and stops reading at 0x1A, so this matters for the Windows build. The host to start is
// $TESSERA_HOST_COMMAND, split on spaces.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int kReplyTimeoutMs = 20000;

std::string Frame(const std::string& body) {
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((body.size() >> (8 * i)) & 0xFF);
  return frame + body;
}

struct Child {
  pid_t pid = -1;
  int toHost = -1;
  int fromHost = -1;
};

Child Start() {
  const char* command = std::getenv("TESSERA_HOST_COMMAND");
  EXPECT_NE(command, nullptr) << "set TESSERA_HOST_COMMAND to the host's command line";
  Child child;
  if (command == nullptr) return child;
  std::vector<std::string> words;
  std::istringstream split(command);
  for (std::string word; split >> word;) words.push_back(word);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  child.toHost = in[1];
  child.fromHost = out[0];
  return child;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads until want bytes arrived, the host closed its output, or the time ran out.
std::string ReadBytes(int fd, size_t want, int timeoutMs = kReplyTimeoutMs) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got.size() < want) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, std::min(sizeof buffer, want - got.size()));
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

int Finish(Child& child) {
  close(child.toHost);
  int status = -1;
  for (int i = 0; i < kReplyTimeoutMs / 10; ++i) {
    if (waitpid(child.pid, &status, WNOHANG) == child.pid) break;
    usleep(10 * 1000);
    status = -1;
  }
  if (status == -1) {
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
  }
  return status;
}

// The reply to {"i":id,"c":103,"e":echo}: the service-started result as Status text.
std::string StartedReply(const std::string& id, const std::string& status,
                         const std::string& echo) {
  return "{\"i\":\"" + id + "\",\"SCardAccessStartedEvent\":\"" + status + "\",\"resp\":\"" + echo +
         "\"}";
}

// A command 103 request of exactly requestSize bytes whose tokens are separated by CR LF pairs
// (and spaces to make up the size), with an echo that makes the reply replySize bytes long.
std::string PaddedRequest(const std::string& id, const std::string& status, size_t requestSize,
                          size_t replySize, std::string* reply) {
  const std::string bare = StartedReply(id, status, "");
  std::string echo(replySize - bare.size(), 'e');
  *reply = StartedReply(id, status, echo);
  std::string request =
      "{\r\n\"i\"\r\n:\r\n\"" + id + "\"\r\n,\r\n\"c\":103,\r\n\"e\":\"" + echo + "\"\r\n}";
  EXPECT_LE(request.size(), requestSize);
  request.insert(request.size() - 1, requestSize - request.size(), ' ');
  return request;
}

TEST(BinaryStdio, LengthsAndBodiesWithLineEndAndEndOfFileBytesCrossUnchanged) {
  Child host = Start();
  ASSERT_GT(host.pid, 0) << "the host did not start";
  // A failed assertion must not leave the host holding the test's output open.
  std::shared_ptr<void> stopHost(nullptr, [&host](void*) {
    if (host.pid > 0 && waitpid(host.pid, nullptr, WNOHANG) == 0) {
      kill(host.pid, SIGKILL);
      waitpid(host.pid, nullptr, 0);
    }
  });

  // The first reply tells whether the service has started here; the sized replies carry the
  // same result text.
  ASSERT_TRUE(WriteAll(host.toHost, Frame("{\"i\":\"0\",\"c\":103}")));
  const std::string firstPrefix = ReadBytes(host.fromHost, 4);
  ASSERT_EQ(firstPrefix.size(), 4u) << "no reply frame";
  const size_t firstSize =
      static_cast<uint8_t>(firstPrefix[0]) | static_cast<uint8_t>(firstPrefix[1]) << 8;
  const std::string first = ReadBytes(host.fromHost, firstSize);
  std::string status;
  for (const std::string candidate : {"0", "-2146435043"}) {
    if (first == StartedReply("0", candidate, "")) status = candidate;
  }
  ASSERT_FALSE(status.empty()) << "unexpected reply: " << first;

  // Request size, reply size: 0x10A, 0x10D and 0x11A put LF, CR and the DOS end-of-file byte
  // into both length prefixes.
  const struct {
    size_t request;
    size_t reply;
    const char* lengthBytes;
  } cases[] = {{266, 266, "\x0A\x01\x00\x00"},
               {269, 269, "\x0D\x01\x00\x00"},
               {282, 282, "\x1A\x01\x00\x00"},
               {282, 269, "\x0D\x01\x00\x00"},
               {269, 266, "\x0A\x01\x00\x00"}};
  std::string input;
  std::string expected;
  int n = 1;
  for (const auto& c : cases) {
    std::string reply;
    const std::string id = std::to_string(n++);
    const std::string request = PaddedRequest(id, status, c.request, c.reply, &reply);
    ASSERT_EQ(request.size(), c.request);
    ASSERT_EQ(reply.size(), c.reply);
    input += Frame(request);
    const std::string frame = Frame(reply);
    ASSERT_EQ(frame.substr(0, 4), std::string(c.lengthBytes, 4));
    expected += frame;
  }
  // All in one write, so that the host must find every frame boundary in one stream of bytes.
  ASSERT_TRUE(WriteAll(host.toHost, input));
  const std::string output = ReadBytes(host.fromHost, expected.size());
  EXPECT_EQ(output.size(), expected.size());
  EXPECT_TRUE(output == expected) << "replies differ from the expected bytes";

  // Four 0xFF length bytes end the host cleanly, with nothing more written: output ends at once.
  ASSERT_TRUE(WriteAll(host.toHost, std::string(4, '\xFF')));
  const int exit = Finish(host);
  // Wine's own service processes may keep the pipe open after the host ended: look only for
  // bytes already written.
  EXPECT_EQ(ReadBytes(host.fromHost, 1, 200), "");
  host.pid = -1;
  close(host.fromHost);
  ASSERT_TRUE(WIFEXITED(exit));
  EXPECT_EQ(WEXITSTATUS(exit), 0);
}

}  // namespace
