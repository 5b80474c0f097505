// Soak: a long run of mixed requests through the fake-service host, as fast as the pipes allow.
// Peak resident memory is taken after the first reply, after the first tenth of the requests
// and at the end; from the tenth on it must stay flat. Also writes the same request stream to a
// file, for runs under valgrind.
//
//   soak_driver HOST COUNT [MAX_GROWTH_KB]   run and report; exit 1 on any failure
//   soak_driver --write FILE COUNT           write COUNT framed requests to FILE
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/host_driver.h"

namespace {

struct Request {
  std::string body;  // with "#" where the id goes
  bool answered;     // false: dropped by the host (bad JSON, wrong type, unknown code)
};

// Every command, with buffers of the sizes real clients use, and some requests the host drops.
std::vector<Request> Mix() {
  const std::string ctx = R"("p":8,"x":1,"y":2,"z":3,"s":4,"l":0,"b":0,"h":0,"j":0)";
  const std::string ctxW = R"("p":8,"x":1,"y":2,"z":3,"w":4,"m":0,"s":0,"t":0,"k":0)";
  const std::string card = R"("p":8,"x":9,"y":8,"z":7,"s":6,"l":0,"b":0,"h":0,"j":0)";
  std::string apdu = "0,164,4,0,7";
  for (int i = 0; i < 250; ++i) apdu += "," + std::to_string(i);
  std::string record = "84,101,115,116";
  for (int i = 4; i < 200; ++i) record += ",0";
  std::string records = record;
  for (int i = 1; i < 4; ++i) records += "," + record;
  return {
      {R"({"i":"#","c":114,"p":2})", true},
      {R"({"i":"#","c":103})", true},
      {"{\"i\":\"#\",\"c\":149," + ctx + ",\"k\":0}", true},
      {"{\"i\":\"#\",\"c\":147," + ctx + "}", true},
      {"{\"i\":\"#\",\"c\":109," + ctxW + ",\"g\":\"Test Reader 00 00\",\"q\":2,\"b\":3}", true},
      {"{\"i\":\"#\",\"c\":107," + card + "}", true},
      {"{\"i\":\"#\",\"c\":169," + card + ",\"w\":\"2,0,0,0,8,0,0,0\",\"n\":8,\"g\":\"" + apdu +
           "\",\"q\":260,\"m\":\"2,0,0,0,8,0,0,0\",\"d\":8,\"f\":65538,\"t\":0}",
       true},
      {"{\"i\":\"#\",\"c\":169," + card + ",\"g\":\"0,176,0,0,0\",\"q\":5,\"f\":258}", true},
      {"{\"i\":\"#\",\"c\":111," + card + ",\"w\":1107299656,\"g\":\"1,2,3\",\"q\":3,\"m\":256}",
       true},
      {"{\"i\":\"#\",\"c\":122," + card + ",\"g\":590595,\"q\":0,\"m\":-1}", true},
      {"{\"i\":\"#\",\"c\":122," + card + ",\"g\":590595,\"q\":0,\"m\":264}", true},
      {"{\"i\":\"#\",\"c\":167," + card + ",\"w\":-1,\"g\":32}", true},
      {"{\"i\":\"#\",\"c\":133," + ctx + ",\"m\":0,\"k\":\"" + records + "\",\"w\":4}", true},
      {"{\"i\":\"#\",\"c\":113," + card + ",\"w\":0}", true},
      {"{\"i\":\"#\",\"c\":159," + card + ",\"w\":2,\"m\":3,\"t\":1}", true},
      {"{\"i\":\"#\",\"c\":112," + card + ",\"w\":0}", true},
      {"{\"i\":\"#\",\"c\":108," + ctx + "}", true},
      {"{\"i\":\"#\",\"c\":160," + ctxW + "}", true},
      {R"({"i":"#","c":104})", false},
      {R"({"i":"#","c":169,"q":"5"})", false},
      {R"({"i":"#","c":103)", false},
      {R"({"i":"#","c":103,"e":"tab \"1\"\n"})", true},
  };
}

std::string Framed(const Request& request, size_t index) {
  std::string body = request.body;
  body.replace(body.find('#'), 1, std::to_string(index));
  return driver::Frame(body);
}

struct Memory {
  long peakKb = -1;
  long rssKb = -1;
};

Memory Sample(pid_t pid) {
  Memory m;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) m.peakKb = std::stol(line.substr(6));
    if (line.rfind("VmRSS:", 0) == 0) m.rssKb = std::stol(line.substr(6));
  }
  return m;
}

std::string IdOf(const std::string& reply) {
  const size_t start = reply.find("{\"i\":\"") == 0 ? 6 : std::string::npos;
  if (start == std::string::npos) return "";
  return reply.substr(start, reply.find('"', start) - start);
}

int Write(const char* file, size_t count) {
  const std::vector<Request> mix = Mix();
  std::ofstream out(file, std::ios::binary);
  for (size_t i = 0; i < count; ++i) out << Framed(mix[i % mix.size()], i);
  return out ? 0 : 1;
}

int Run(const char* program, size_t count, long maxGrowthKb) {
  const std::vector<Request> mix = Mix();
  driver::HostProcess host;
  if (!driver::StartHost(host, {program})) return 1;
  std::atomic<bool> writeFailed{false};
  // The writer runs ahead; the pipes hold it back when the host falls behind.
  std::thread writer([&] {
    std::string batch;
    for (size_t i = 0; i < count; ++i) {
      batch += Framed(mix[i % mix.size()], i);
      if (batch.size() >= 64 * 1024 || i + 1 == count) {
        if (!driver::SendRaw(host, batch)) {
          writeFailed = true;
          return;
        }
        batch.clear();
      }
    }
  });
  const auto begin = std::chrono::steady_clock::now();
  size_t expected = 0;
  size_t replies = 0;
  size_t dropped = 0;
  size_t wrong = 0;
  Memory start;  // after the first reply
  Memory first;  // after a tenth of the requests
  for (size_t i = 0; i < count; ++i) {
    if (!mix[i % mix.size()].answered) {
      ++dropped;
      continue;
    }
    ++expected;
    const auto reply = driver::ReadReply(host, 30000);
    if (!reply) break;
    ++replies;
    if (IdOf(*reply) != std::to_string(i)) ++wrong;
    if (replies == 1) start = Sample(host.pid);
    if (i == count / 10) first = Sample(host.pid);
  }
  const Memory last = Sample(host.pid);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  writer.join();
  const int status = driver::Finish(host, 30000);

  std::printf("requests            %zu (%zu answered, %zu dropped by design)\n", count, expected,
              dropped);
  std::printf("replies             %zu, out of order or wrong id: %zu\n", replies, wrong);
  std::printf("time                %.2f s, %.0f requests/s\n", seconds, count / seconds);
  std::printf("peak RSS at start   %ld KiB (RSS %ld KiB)\n", start.peakKb, start.rssKb);
  std::printf("peak RSS at 10%%     %ld KiB (RSS %ld KiB)\n", first.peakKb, first.rssKb);
  std::printf("peak RSS at the end %ld KiB (RSS %ld KiB)\n", last.peakKb, last.rssKb);
  std::printf("exit status         %d\n", status);
  const bool flat =
      last.peakKb >= 0 && first.peakKb >= 0 && last.peakKb - first.peakKb <= maxGrowthKb;
  if (!flat) std::printf("FAIL: peak RSS grew by more than %ld KiB\n", maxGrowthKb);
  const bool ok = flat && !writeFailed && replies == expected && wrong == 0 && status == 0;
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--write") {
    return Write(argv[2], std::strtoul(argv[3], nullptr, 10));
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: soak_driver HOST COUNT [MAX_GROWTH_KB] | --write FILE COUNT\n");
    return 2;
  }
  const long maxGrowthKb = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 1024;
  return Run(argv[1], std::strtoul(argv[2], nullptr, 10), maxGrowthKb);
}
