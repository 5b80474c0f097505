#include "host_harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "commands/cells.h"
#include "host/arguments.h"
#include "host/main_loop.h"

namespace harness {

void ResetHost() {
  host::g_handleSlots = host::HandleSlots{};
  commands::g_cells = commands::Cells{};
  fake::Reset();
}

std::string RunRaw(const std::string& input, int* status) {
  std::FILE* in = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in);
  std::rewind(in);
  char* outData = nullptr;
  size_t outSize = 0;
  std::FILE* out = open_memstream(&outData, &outSize);
  const int rc = host::RunHost(in, out);
  std::fclose(out);
  std::fclose(in);
  std::string output(outData, outSize);
  std::free(outData);
  if (status != nullptr) *status = rc;
  return output;
}

std::string Frame(const std::string& body) {
  std::string frame(4, '\0');
  const size_t n = body.size();
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return frame + body;
}

std::vector<std::string> Serve(const std::vector<std::string>& bodies) {
  std::string input;
  for (const std::string& body : bodies) input += Frame(body);
  const std::string output = RunRaw(input);
  std::vector<std::string> replies;
  size_t pos = 0;
  while (pos + 4 <= output.size()) {
    size_t n = 0;
    for (int i = 0; i < 4; ++i) n |= size_t{static_cast<uint8_t>(output[pos + i])} << (8 * i);
    EXPECT_LE(pos + 4 + n, output.size()) << "truncated reply frame";
    replies.push_back(output.substr(pos + 4, n));
    pos += 4 + n;
  }
  EXPECT_EQ(pos, output.size()) << "bytes after the last reply frame";
  return replies;
}

std::string Ask(const std::string& body) {
  const std::vector<std::string> replies = Serve({body});
  EXPECT_EQ(replies.size(), 1u) << "for request " << body;
  return replies.empty() ? std::string() : replies.front();
}

Members Decode(const std::string& reply) {
  Members members;
  const nlohmann::ordered_json j = nlohmann::ordered_json::parse(reply);
  EXPECT_TRUE(j.is_object());
  for (auto it = j.begin(); it != j.end(); ++it) {
    EXPECT_TRUE(it.value().is_string()) << it.key();
    members.emplace_back(it.key(), it.value().is_string() ? it.value().get<std::string>() : "");
  }
  return members;
}

std::string Member(const std::string& reply, const std::string& key) {
  for (const auto& [k, v] : Decode(reply)) {
    if (k == key) return v;
  }
  return "<absent>";
}

std::vector<std::string> Keys(const std::string& reply) {
  std::vector<std::string> keys;
  for (const auto& member : Decode(reply)) keys.push_back(member.first);
  return keys;
}

std::string ByteList(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += ',';
    text += std::to_string(bytes[i]);
  }
  return text;
}

std::vector<uint8_t> ParseByteList(const std::string& text) {
  std::vector<uint8_t> bytes;
  if (text == "NULL") return bytes;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(pos, comma - pos))));
    pos = comma + 1;
  }
  return bytes;
}

}  // namespace harness
