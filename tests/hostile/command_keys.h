// Every command code with the keys it reads and their kinds, for table-driven hostile tests and
// for the fuzzers that build requests.
#pragma once

#include <cstdint>
#include <vector>

namespace hostile {

enum class KeyKind { kNumber, kText };

struct Key {
  const char* name;
  KeyKind kind;
};

struct CommandKeys {
  int32_t code;
  const char* callName;
  std::vector<Key> keys;             // besides the envelope, in the order the handler reads them
  std::vector<const char*> members;  // reply members after "i", the call's name and "resp"
};

inline std::vector<Key> WithHandle(const char* const (&bytes)[8], std::vector<Key> rest) {
  std::vector<Key> keys{{"p", KeyKind::kNumber}};
  for (const char* byte : bytes) keys.push_back({byte, KeyKind::kNumber});
  keys.insert(keys.end(), rest.begin(), rest.end());
  return keys;
}

inline const std::vector<CommandKeys>& AllCommands() {
  static const char* const kS[8] = {"x", "y", "z", "s", "l", "b", "h", "j"};
  static const char* const kW[8] = {"x", "y", "z", "w", "m", "s", "t", "k"};
  constexpr KeyKind N = KeyKind::kNumber;
  constexpr KeyKind T = KeyKind::kText;
  static const std::vector<CommandKeys> commands = {
      {103, "SCardAccessStartedEvent", {}, {}},
      {107, "SCardBeginTransaction", WithHandle(kS, {}), {}},
      {108, "SCardCancel", WithHandle(kS, {}), {}},
      {109,
       "SCardConnectA",
       WithHandle(kW, {{"g", T}, {"q", N}, {"b", N}}),
       {"cbHandle", "pbHandlet0", "pbContext1", "pbContext2", "pbContext3", "pbContext4",
        "pbContext5", "pbContext6", "pbContext7", "dwActiveProtocol"}},
      {111,
       "SCardControl",
       WithHandle(kS, {{"w", N}, {"g", T}, {"q", N}, {"m", N}}),
       {"pvOutBuffer", "cbOutBufferSize"}},
      {112, "SCardDisconnect", WithHandle(kS, {{"w", N}}), {}},
      {113, "SCardEndTransaction", WithHandle(kS, {{"w", N}}), {}},
      {114,
       "SCardEstablishContext",
       {{"p", N}},
       {"cbContext", "pbContext0", "pbContext1", "pbContext2", "pbContext3", "pbContext4",
        "pbContext5", "pbContext6", "pbContext7"}},
      {122,
       "SCardGetAttrib",
       WithHandle(kS, {{"g", N}, {"q", N}, {"m", N}}),
       {"pbAttr", "cbAttrLen"}},
      {133,
       "SCardGetStatusChangeA",
       WithHandle(kS, {{"m", N}, {"k", T}, {"w", N}}),
       {"rgReaderStates", "cReaders"}},
      {147, "SCardListReaderGroupsA", WithHandle(kS, {{"m", N}}), {"mszGroups", "cchGroups"}},
      {149,
       "SCardListReadersA",
       WithHandle(kS, {{"m", T}, {"k", N}, {"t", N}}),
       {"cchReaders", "mszReaders"}},
      {159, "SCardReconnect", WithHandle(kS, {{"w", N}, {"m", N}, {"t", N}}), {"dwActiveProtocol"}},
      {160, "SCardReleaseContext", WithHandle(kW, {}), {}},
      {167,
       "SCardStatusA",
       WithHandle(kS, {{"w", N}, {"g", N}}),
       {"mszReaderNames", "cchReaderLen", "dwState", "dwProtocol", "pbAtr", "cbAtrLen"}},
      {169,
       "SCardTransmit",
       WithHandle(kS,
                  {{"w", T}, {"n", N}, {"g", T}, {"q", N}, {"m", T}, {"d", N}, {"f", N}, {"t", N}}),
       {"pioRecvPci", "cbPciLength", "pbRecvBuffer", "cbRecvLength"}},
  };
  return commands;
}

// The envelope's own keys, which every command reads first.
inline const std::vector<Key>& EnvelopeKeys() {
  static const std::vector<Key> keys = {{"i", KeyKind::kText},
                                        {"r", KeyKind::kNumber},
                                        {"e", KeyKind::kText},
                                        {"c", KeyKind::kNumber}};
  return keys;
}

}  // namespace hostile
