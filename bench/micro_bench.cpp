// Micro-benchmarks of the host's hot paths, each beside a floor measured in the same run: the
// Byte list conversions, and one whole request (parse, envelope, dispatch, reply, frame write)
// against nlohmann::json alone parsing the same body. Prints the medians and host/floor ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/dom_request.h"
#include "host/encodings.h"
#include "host/main_loop.h"
#include "request_bodies.h"

namespace {

// Replies go to a memory stream that is rewound (and so flushed) for every request: the frame
// writer's fwrite and the flush run as usual without a system call.
std::vector<char> g_sink(1u << 20);
std::FILE* g_out = nullptr;

struct Case {
  const char* name;
  std::string body;
};

const std::vector<Case>& RequestCases() {
  static const std::vector<Case> cases = {
      {"103 started event", bench::StartedEventBody()},
      {"109 connect", bench::ConnectBody(bench::kBenchContext, "Bench Reader 00")},
      {"169 transmit 13 B", bench::TransmitBody(bench::kBenchCard, bench::ShortApdu(), 258)},
      {"169 transmit 64 KiB",
       bench::TransmitBody(bench::kBenchCard, bench::CardBytes(65536), 65538)},
  };
  return cases;
}

void ServeRequest(benchmark::State& state, const std::string& body) {
  std::string reply;
  for (auto _ : state) {
    std::rewind(g_out);
    host::ServeBody(body, reply, g_out);
    benchmark::DoNotOptimize(reply.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

// The same request through the document parse that the streaming reader replaced.
void ServeRequestWithDocument(benchmark::State& state, const std::string& body) {
  std::string reply;
  for (auto _ : state) {
    std::rewind(g_out);
    host::ServeBodyWithDocument(body, reply, g_out);
    benchmark::DoNotOptimize(reply.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void ParseRequest(benchmark::State& state, const std::string& body) {
  for (auto _ : state) {
    nlohmann::json request = nlohmann::json::parse(body.begin(), body.end());
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void ByteListOutput(benchmark::State& state, size_t n) {
  const std::vector<uint8_t> bytes = bench::CardBytes(n);
  std::string text;
  for (auto _ : state) {
    text.clear();
    host::AppendByteList(text, bytes.data(), static_cast<int64_t>(n));
    benchmark::DoNotOptimize(text.data());
  }
}

// The floor of output: copying the finished text into the same reused string.
void CopyByteListText(benchmark::State& state, size_t n) {
  const std::string finished = bench::ByteListText(bench::CardBytes(n));
  std::string text;
  for (auto _ : state) {
    text.clear();
    text.append(finished);
    benchmark::DoNotOptimize(text.data());
  }
}

void ByteListInput(benchmark::State& state, size_t n) {
  const std::string text = bench::ByteListText(bench::CardBytes(n));
  for (auto _ : state) {
    host::ByteBuffer buffer = host::ByteListInput(&text, static_cast<int64_t>(n));
    benchmark::DoNotOptimize(buffer.data.get());
  }
}

// The floor of input: the JSON library reading the same text as the string it arrives in.
void ParseByteListString(benchmark::State& state, size_t n) {
  const std::string quoted = '"' + bench::ByteListText(bench::CardBytes(n)) + '"';
  for (auto _ : state) {
    nlohmann::json value = nlohmann::json::parse(quoted.begin(), quoted.end());
    benchmark::DoNotOptimize(value);
  }
}

// Benchmarks come in pairs "host/<case>" and "floor/<case>".
void RegisterAll() {
  for (const size_t n : {size_t{1}, size_t{260}, size_t{65538}}) {
    const std::string size = std::to_string(n) + " B";
    benchmark::RegisterBenchmark(("host/Byte list output " + size).c_str(), ByteListOutput, n);
    benchmark::RegisterBenchmark(("floor/Byte list output " + size).c_str(), CopyByteListText, n);
    benchmark::RegisterBenchmark(("host/Byte list input " + size).c_str(), ByteListInput, n);
    benchmark::RegisterBenchmark(("floor/Byte list input " + size).c_str(), ParseByteListString, n);
  }
  for (const Case& c : RequestCases()) {
    const std::string name = std::string("request ") + c.name;
    benchmark::RegisterBenchmark(("host/" + name).c_str(), ServeRequest, c.body);
    benchmark::RegisterBenchmark(("floor/" + name).c_str(), ParseRequest, c.body);
    benchmark::RegisterBenchmark(("host/" + name + ", old reader").c_str(),
                                 ServeRequestWithDocument, c.body);
    benchmark::RegisterBenchmark(("floor/" + name + ", old reader").c_str(), ParseRequest, c.body);
  }
}

struct Figure {
  double hostNs = 0;
  double floorNs = 0;
  bool hostSeen = false;
  bool floorSeen = false;
};

// Reads Google Benchmark's JSON report: the median of each benchmark when there were
// repetitions, its only run otherwise.
std::vector<std::pair<std::string, Figure>> Figures(const std::string& report) {
  const nlohmann::json all = nlohmann::json::parse(report);
  std::vector<std::pair<std::string, Figure>> rows;
  std::map<std::string, size_t> rowOf;
  for (const nlohmann::json& b : all.at("benchmarks")) {
    const std::string runType = b.value("run_type", "iteration");
    if (runType == "aggregate" && b.value("aggregate_name", "") != "median") continue;
    std::string name = b.at("run_name").get<std::string>();
    const bool host = name.rfind("host/", 0) == 0;
    name = name.substr(name.find('/') + 1);
    if (rowOf.count(name) == 0) {
      rowOf[name] = rows.size();
      rows.push_back({name, Figure{}});
    }
    Figure& f = rows[rowOf[name]].second;
    bool& seen = host ? f.hostSeen : f.floorSeen;
    // A median replaces the single runs of the same benchmark.
    if (seen && runType != "aggregate") continue;
    (host ? f.hostNs : f.floorNs) = b.at("real_time").get<double>();
    seen = true;
  }
  return rows;
}

void PrintTable(const std::vector<std::pair<std::string, Figure>>& rows) {
  std::printf("%-34s %14s %14s %8s\n", "case", "host ns", "floor ns", "ratio");
  for (const auto& [name, f] : rows) {
    std::printf("%-34s %14.1f %14.1f %8.2f\n", name.c_str(), f.hostNs, f.floorNs,
                f.floorNs > 0 ? f.hostNs / f.floorNs : 0.0);
  }
  std::printf(
      "floors: Byte list output = copying the finished text; Byte list input = nlohmann parsing "
      "the text as a JSON string; request = nlohmann parsing the whole body; \"old reader\" = the "
      "same request through the "
      "document parse the streaming reader replaced\n");
}

}  // namespace

int main(int argc, char** argv) {
  g_out = fmemopen(g_sink.data(), g_sink.size(), "wb");
  if (g_out == nullptr) return 1;
  std::setvbuf(g_out, nullptr, _IOFBF, 64 * 1024);
  RegisterAll();
  // Repetitions give medians unless the command line asks otherwise.
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=5";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  bool custom = false;
  for (int i = 1; i < argc; ++i) custom |= std::strstr(argv[i], "repetitions") != nullptr;
  if (!custom) {
    args.insert(args.begin() + 1, aggregates.data());
    args.insert(args.begin() + 1, repetitions.data());
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  std::ostringstream report;
  benchmark::JSONReporter reporter;
  reporter.SetOutputStream(&report);
  reporter.SetErrorStream(&std::cerr);
  std::fprintf(stderr, "running micro-benchmarks...\n");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintTable(Figures(report.str()));
  // The host holds its last reply in the stream's buffer: close the stream while its memory
  // still exists.
  std::fclose(g_out);
  return 0;
}
