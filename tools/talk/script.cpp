#include "script.h"

#include <cstdlib>

namespace talk {
namespace {

const char* const kKeysS[8] = {"x", "y", "z", "s", "l", "b", "h", "j"};
const char* const kKeysW[8] = {"x", "y", "z", "w", "m", "s", "t", "k"};
constexpr size_t kRecord = 200;

// Where each key of the request came from, so that two sources of one key can be reported.
class Sources {
 public:
  explicit Sources(Json& request) : request_(request) {}
  void Set(const std::string& key, Json value, const std::string& source) {
    const auto previous = from_.find(key);
    if (previous != from_.end() && previous->second != source) {
      clashes_.push_back({key, previous->second, source});
    }
    from_[key] = source;
    request_[key] = std::move(value);
  }
  // One line per key that two sources set: what they were and what is sent.
  std::vector<std::string> Warnings() const {
    std::vector<std::string> lines;
    for (const Clash& clash : clashes_) {
      lines.push_back("\"" + clash.key + "\" is both " + clash.first + " and " + clash.second +
                      "; the request is sent with \"" + clash.key +
                      "\":" + request_[clash.key].dump());
    }
    return lines;
  }

 private:
  struct Clash {
    std::string key, first, second;
  };
  Json& request_;
  std::map<std::string, std::string> from_;
  std::vector<Clash> clashes_;
};

bool PutHandle(Sources& sources, const char* placeholder, const char* what, const Json& which,
               const Bytes& handle, bool useW, std::string& error) {
  if (handle.size() != 8) {
    error = "no handle yet for this placeholder";
    return false;
  }
  if (which.is_string()) useW = which.get<std::string>() == "W";
  const std::string from = std::string(" (from ") + placeholder + ")";
  sources.Set("p", 8, std::string(what) + " byte count" + from);
  for (size_t i = 0; i < 8; ++i) {
    sources.Set(useW ? kKeysW[i] : kKeysS[i], handle[i],
                std::string(what) + " byte " + std::to_string(i) + from);
  }
  return true;
}

uint32_t Number(const Json& value) {
  if (value.is_number_unsigned()) return value.get<uint32_t>();
  if (value.is_number()) return static_cast<uint32_t>(value.get<int64_t>());
  return 0;
}

// Resolves "$readerN" in a string value.
bool ResolveReader(Json& value, const SessionState& state, std::string& error) {
  if (!value.is_string()) return true;
  const std::string text = value.get<std::string>();
  if (text.rfind("$reader", 0) != 0) return true;
  const size_t index = static_cast<size_t>(std::atoi(text.c_str() + 7));
  if (index >= state.readers.size()) {
    error = text + ": the last reader list has no such reader";
    return false;
  }
  value = state.readers[index];
  return true;
}

bool PutWait(Sources& sources, const Json& wait, const SessionState& state, std::string& error) {
  if (!wait.is_array()) {
    error = "$wait must be an array of {\"reader\", \"current\"}";
    return false;
  }
  Bytes records;
  for (Json entry : wait) {
    Json reader = entry.value("reader", Json(""));
    if (!ResolveReader(reader, state, error)) return false;
    const std::string name = reader.is_string() ? reader.get<std::string>() : "";
    uint32_t current = 0;
    const Json given = entry.value("current", Json(0));
    if (given.is_string() && given.get<std::string>() == "$last") {
      const auto found = state.lastEventState.find(name);
      current = found != state.lastEventState.end() ? found->second : 0;
    } else {
      current = Number(given);
    }
    Bytes record(kRecord, 0);
    std::copy(name.begin(), name.begin() + static_cast<long>(std::min<size_t>(name.size(), 127)),
              record.begin());
    for (size_t i = 0; i < 4; ++i) record[136 + i] = static_cast<uint8_t>(current >> (8 * i));
    records.insert(records.end(), record.begin(), record.end());
  }
  sources.Set("k", ByteList(records), "the records of $wait");
  sources.Set("w", wait.size(), "the record count of $wait");
  return true;
}

}  // namespace

Expanded ExpandLine(const std::string& line, SessionState& state) {
  Expanded out;
  const Json parsed = Json::parse(line, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    out.error = "not a JSON object";
    return out;
  }
  const int code = parsed.contains("c") && parsed["c"].is_number() ? parsed["c"].get<int>() : 0;
  const bool useW = code == 109 || code == 160;
  Json& request = out.request;
  request = Json::object();
  if (!parsed.contains("i")) request["i"] = std::to_string(state.nextId++);
  Sources sources(request);
  for (auto it = parsed.begin(); it != parsed.end(); ++it) {
    const std::string& key = it.key();
    Json value = it.value();
    if (key == "$context") {
      if (!PutHandle(sources, "$context", "context", value, state.context, useW, out.error))
        return out;
    } else if (key == "$card") {
      if (!PutHandle(sources, "$card", "card handle", value, state.card, false, out.error))
        return out;
    } else if (key == "$apdu") {
      Bytes apdu;
      if (!value.is_string() || !FromHex(value.get<std::string>(), apdu)) {
        out.error = "$apdu must be hex text";
        return out;
      }
      sources.Set("g", ByteList(apdu), "the APDU of $apdu");
      sources.Set("q", apdu.size(), "the APDU length of $apdu");
    } else if (key == "$pci") {
      const Bytes pci = {static_cast<uint8_t>(state.protocol), 0, 0, 0, 8, 0, 0, 0};
      sources.Set("w", ByteList(pci), "the send PCI of $pci");
      sources.Set("n", 8, "the send PCI length of $pci");
      sources.Set("m", ByteList(pci), "the receive PCI of $pci");
      sources.Set("d", 8, "the receive PCI length of $pci");
    } else if (key == "$wait") {
      if (!PutWait(sources, value, state, out.error)) return out;
    } else if (key == "$meanwhile") {
      out.meanwhile = value.is_string() ? value.get<std::string>() : "";
    } else if (!key.empty() && key[0] == '$') {
      out.error = "unknown placeholder " + key;
      return out;
    } else {
      if (!ResolveReader(value, state, out.error)) return out;
      sources.Set(key, value, "the line's own \"" + key + "\"");
    }
  }
  out.warnings = sources.Warnings();
  return out;
}

void Learn(const Json& request, const Members& reply, SessionState& state) {
  auto value = [&reply](const std::string& key) {
    for (const auto& [k, v] : reply) {
      if (k == key) return v;
    }
    return std::string();
  };
  const int code = request.contains("c") && request["c"].is_number() ? request["c"].get<int>() : 0;
  if (reply.size() < 2 || reply[1].second != "0") return;
  auto handle = [&value](const char* first) {
    Bytes bytes;
    bytes.push_back(static_cast<uint8_t>(std::atoi(value(first).c_str())));
    for (int i = 1; i < 8; ++i) {
      bytes.push_back(
          static_cast<uint8_t>(std::atoi(value("pbContext" + std::to_string(i)).c_str())));
    }
    return bytes;
  };
  if (code == 114) state.context = handle("pbContext0");
  if (code == 109) {
    state.card = handle("pbHandlet0");
    state.protocol = static_cast<uint32_t>(std::atoi(value("dwActiveProtocol").c_str()));
  }
  if (code == 159)
    state.protocol = static_cast<uint32_t>(std::atoi(value("dwActiveProtocol").c_str()));
  if (code == 149) {
    state.readers.clear();
    const Bytes names = ParseByteList(value("mszReaders"));
    std::string name;
    for (const uint8_t b : names) {
      if (b != 0) {
        name += static_cast<char>(b);
      } else if (!name.empty()) {
        state.readers.push_back(name);
        name.clear();
      }
    }
  }
  if (code == 133) {
    const Bytes records = ParseByteList(value("rgReaderStates"));
    for (size_t at = 0; at + kRecord <= records.size(); at += kRecord) {
      const std::string name(reinterpret_cast<const char*>(&records[at]));
      uint32_t event = 0;
      for (size_t i = 0; i < 4; ++i) event |= uint32_t{records[at + 144 + i]} << (8 * i);
      state.lastEventState[name] = event;
    }
  }
}

}  // namespace talk
