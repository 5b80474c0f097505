// docs/protocol.md against the table of commands that the hostile tests check on the real host:
// the same commands, each with the same request keys (names, kinds, reading order) and the same
// reply members, so the page cannot drift from the code.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "command_keys.h"
#include "host/arguments.h"
#include "host_harness.h"

namespace hostile {
namespace {

struct DocKey {
  std::string name;
  std::string kind;      // "number", "text" or "Byte list"
  std::string persists;  // starts with "yes" or "no"
};

struct DocSection {
  std::string callName;
  bool keyTable = false;
  bool memberTable = false;
  std::vector<DocKey> keys;
  std::vector<std::string> members;
};

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

std::vector<std::string> Cells(const std::string& row) {
  std::vector<std::string> cells;
  size_t at = 1;  // past the leading '|'
  for (size_t bar; (bar = row.find('|', at)) != std::string::npos; at = bar + 1) {
    cells.push_back(Trim(row.substr(at, bar - at)));
  }
  return cells;
}

std::string Unquote(const std::string& cell) {
  return cell.size() >= 2 && cell.front() == '`' && cell.back() == '`'
             ? cell.substr(1, cell.size() - 2)
             : "<not a `key`: " + cell + ">";
}

// The sections of the page by command code; the envelope is code -1.
struct Doc {
  bool read = false;
  std::vector<int32_t> order;
  std::map<int32_t, DocSection> sections;
};

// "### CODE CallName": a decimal code, one space, a name without blanks.
bool CommandHeading(const std::string& line, int32_t& code, std::string& callName) {
  if (line.rfind("### ", 0) != 0) return false;
  const size_t digits = line.find_first_not_of("0123456789", 4);
  if (digits == 4 || digits == std::string::npos || digits > 12 || line[digits] != ' ')
    return false;
  callName = line.substr(digits + 1);
  if (callName.empty() || callName.find_first_of(" \t") != std::string::npos) return false;
  code = static_cast<int32_t>(std::stol(line.substr(4, digits - 4)));
  return true;
}

Doc ReadDoc() {
  Doc doc;
  std::ifstream file(TESSERA_PROTOCOL_DOC);
  doc.read = file.good();
  DocSection* section = nullptr;
  enum { kNone, kKeys, kMembers } table = kNone;
  for (std::string line; std::getline(file, line);) {
    int32_t code = 0;
    std::string callName;
    if (CommandHeading(line, code, callName)) {
      doc.order.push_back(code);
      section = &doc.sections[code];
      section->callName = callName;
      table = kNone;
    } else if (line == "### Envelope") {
      section = &doc.sections[-1];
      table = kNone;
    } else if (line.rfind("#", 0) == 0) {
      section = nullptr;
    } else if (section == nullptr) {
      continue;
    } else if (line == "| key | kind | persists | meaning |") {
      table = kKeys;
      section->keyTable = true;
    } else if (line == "| member | value |") {
      table = kMembers;
      section->memberTable = true;
    } else if (line.rfind("|---", 0) == 0) {
      continue;
    } else if (line.rfind("|", 0) != 0) {
      table = kNone;
    } else if (table == kKeys) {
      const std::vector<std::string> cells = Cells(line);
      if (cells.size() != 4u) {
        ADD_FAILURE() << "a row of 4 cells expected: " << line;
        continue;
      }
      section->keys.push_back({Unquote(cells[0]), cells[1], cells[2]});
    } else if (table == kMembers) {
      const std::vector<std::string> cells = Cells(line);
      if (cells.size() != 2u) {
        ADD_FAILURE() << "a row of 2 cells expected: " << line;
        continue;
      }
      section->members.push_back(Unquote(cells[0]));
    }
  }
  return doc;
}

const char* KindName(KeyKind kind) {
  return kind == KeyKind::kNumber ? "number" : "text";
}

// Byte lists are texts to the request reader.
std::string ReaderKind(const std::string& docKind) {
  return docKind == "Byte list" ? "text" : docKind;
}

std::vector<std::string> Described(const std::vector<DocKey>& keys) {
  std::vector<std::string> described;
  for (const DocKey& key : keys) described.push_back(key.name + " " + ReaderKind(key.kind));
  return described;
}

std::vector<std::string> Described(const std::vector<Key>& keys) {
  std::vector<std::string> described;
  for (const Key& key : keys) described.push_back(std::string(key.name) + " " + KindName(key.kind));
  return described;
}

TEST(ProtocolDoc, ListsEveryCommandOnceInCodeOrder) {
  const Doc doc = ReadDoc();
  ASSERT_TRUE(doc.read) << TESSERA_PROTOCOL_DOC;
  std::vector<int32_t> codes;
  for (const CommandKeys& command : AllCommands()) codes.push_back(command.code);
  EXPECT_EQ(doc.order, codes);
  for (const CommandKeys& command : AllCommands()) {
    const auto found = doc.sections.find(command.code);
    if (found == doc.sections.end()) continue;
    EXPECT_EQ(found->second.callName, command.callName) << command.code;
  }
}

TEST(ProtocolDoc, EachCommandHasTheHostsKeysInReadingOrderAndItsReplyMembers) {
  const Doc doc = ReadDoc();
  ASSERT_TRUE(doc.read) << TESSERA_PROTOCOL_DOC;
  for (const CommandKeys& command : AllCommands()) {
    SCOPED_TRACE(command.code);
    const auto found = doc.sections.find(command.code);
    ASSERT_NE(found, doc.sections.end());
    const DocSection& section = found->second;
    // Both tables, also when empty, so that a missing table is never read as "no keys".
    EXPECT_TRUE(section.keyTable && section.memberTable);
    EXPECT_EQ(Described(section.keys), Described(command.keys));
    EXPECT_EQ(section.members,
              std::vector<std::string>(command.members.begin(), command.members.end()));
  }
}

TEST(ProtocolDoc, EnvelopeHasTheHostsKeysInReadingOrder) {
  const Doc doc = ReadDoc();
  ASSERT_TRUE(doc.read) << TESSERA_PROTOCOL_DOC;
  const auto found = doc.sections.find(-1);
  ASSERT_NE(found, doc.sections.end()) << "no ### Envelope section";
  EXPECT_EQ(Described(found->second.keys), Described(EnvelopeKeys()));
}

// The request reader keeps a text only for its own request; only numbers have cells.
TEST(ProtocolDoc, EveryKeySaysWhetherItPersistsAndNoTextDoes) {
  const Doc doc = ReadDoc();
  ASSERT_TRUE(doc.read) << TESSERA_PROTOCOL_DOC;
  int keys = 0;
  for (const auto& [code, section] : doc.sections) {
    for (const DocKey& key : section.keys) {
      SCOPED_TRACE(std::to_string(code) + " " + key.name);
      const bool yes = key.persists.rfind("yes", 0) == 0;
      EXPECT_TRUE(yes || key.persists == "no") << key.persists;
      EXPECT_TRUE(key.kind == "number" || key.kind == "text" || key.kind == "Byte list")
          << key.kind;
      EXPECT_TRUE(key.kind == "number" || !yes);
      ++keys;
    }
  }
  EXPECT_GT(keys, 100);
}

// The page's handle-byte sets and slots, run through the host over the fake service: each
// command's byte keys, byte 0 first, land in the slot the page names, and "b" in a 159 request
// is byte 5 of the card handle.
TEST(ProtocolDoc, HandleByteKeysFillTheSlotThePageNames) {
  const std::vector<int32_t> contextCommands = {108, 109, 133, 147, 149, 160};
  int checked = 0;
  for (const CommandKeys& command : AllCommands()) {
    if (command.keys.size() < 9 || std::string(command.keys[0].name) != "p") continue;
    SCOPED_TRACE(command.code);
    harness::ResetHost();
    std::string body = R"({"i":"h","c":)" + std::to_string(command.code) + R"(,"p":8)";
    uint64_t expected = 0;
    for (int k = 0; k < 8; ++k) {
      body += ",\"" + std::string(command.keys[1 + k].name) + "\":" + std::to_string(0xA0 + k);
      expected |= uint64_t{0xA0u + k} << (8 * k);
    }
    harness::Ask(body + "}");
    bool context = false;
    for (const int32_t code : contextCommands) context = context || code == command.code;
    EXPECT_EQ(context ? host::g_handleSlots.context : host::g_handleSlots.card, expected);
    EXPECT_EQ(context ? host::g_handleSlots.card : host::g_handleSlots.context, 0u);
    ++checked;
  }
  EXPECT_EQ(checked, 14);

  harness::ResetHost();
  harness::Ask(R"({"i":"r","c":159,"p":8,"x":1,"y":0,"z":0,"s":0,"l":0,"b":0,"h":0,"j":0,"b":3})");
  EXPECT_EQ(host::g_handleSlots.card, 0x0000030000000001u);
}

}  // namespace
}  // namespace hostile
