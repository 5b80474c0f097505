#include "notes.h"

#include <cstdio>
#include <cstdlib>

#include "pcsc_names.h"

namespace talk {
namespace {

uint32_t Get32(const Bytes& bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= uint32_t{bytes[offset + i]} << (8 * i);
  return value;
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string NamesOf(const Bytes& multiString) {
  std::string text = "[";
  std::string name;
  bool first = true;
  for (const uint8_t b : multiString) {
    if (b != 0) {
      name += static_cast<char>(b);
      continue;
    }
    if (name.empty()) continue;
    text += (first ? "\"" : ", \"") + name + "\"";
    first = false;
    name.clear();
  }
  return text + "]";
}

std::string HandleOf(const Members& reply, const std::string& firstKey) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) {
    const std::string key = i == 0 ? firstKey : "pbContext" + std::to_string(i);
    for (const auto& [k, v] : reply) {
      if (k == key) value = value << 8 | (static_cast<uint64_t>(std::atoi(v.c_str())) & 0xFF);
    }
  }
  char text[32];
  std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(value));
  return text;
}

void DescribeRecords(const Bytes& records, std::vector<std::string>& lines) {
  for (size_t at = 0; at + 200 <= records.size(); at += 200) {
    const std::string name(reinterpret_cast<const char*>(&records[at]));
    const uint32_t current = Get32(records, at + 136);
    const uint32_t event = Get32(records, at + 144);
    const uint32_t atrLength = Get32(records, at + 152);
    const size_t shown = std::min<size_t>(atrLength, 36);
    lines.push_back("  reader \"" + name + "\": current " + Hex32(current) + " (" +
                    ReaderStateNames(current) + "), event " + Hex32(event) + " (" +
                    ReaderStateNames(event) + "), ATR " +
                    (shown ? Hex(Bytes(records.begin() + static_cast<long>(at + 160),
                                       records.begin() + static_cast<long>(at + 160 + shown)))
                           : "none"));
  }
}

}  // namespace

std::string Hex(const Bytes& bytes, size_t limit) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    if (i != 0) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  if (bytes.size() > limit) text += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return text;
}

std::vector<std::string> DescribeReply(const Members& reply) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < reply.size(); ++i) {
    const auto& [key, value] = reply[i];
    if (i == 1) {  // the call's result
      const uint32_t code = static_cast<uint32_t>(std::strtol(value.c_str(), nullptr, 10));
      const std::string name = ResultName(code);
      lines.push_back("  " + key + ": " + Hex32(code) + (name.empty() ? "" : " " + name));
      continue;
    }
    if (value == "NULL") continue;
    if (key == "pbContext0" || key == "pbHandlet0") {
      lines.push_back(std::string("  ") + (key == "pbContext0" ? "context " : "card handle ") +
                      HandleOf(reply, key));
    } else if (key == "mszReaders" || key == "mszGroups" || key == "mszReaderNames") {
      lines.push_back("  " + key + ": " + NamesOf(ParseByteList(value)));
    } else if (key == "pbRecvBuffer" || key == "pbAtr" || key == "pvOutBuffer" || key == "pbAttr" ||
               key == "pioRecvPci") {
      lines.push_back("  " + key + ": " + Hex(ParseByteList(value)));
    } else if (key == "dwActiveProtocol" || key == "dwProtocol") {
      const std::string names =
          ProtocolNames(static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10)));
      if (!names.empty()) lines.push_back("  " + key + ": " + names);
    } else if (key == "dwState") {
      lines.push_back("  " + key + ": " +
                      Hex32(static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10))));
    } else if (key == "rgReaderStates") {
      DescribeRecords(ParseByteList(value), lines);
    }
  }
  return lines;
}

}  // namespace talk
