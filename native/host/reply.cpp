#include "host/reply.h"

#include "host/encodings.h"
#include "host/end_host.h"
#include "host/framing.h"

namespace host {
namespace {

void AppendKey(std::string& out, std::string_view key) {
  out += ",\"";
  out += key;
  out += "\":\"";
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  size_t plain = 0;  // start of the run of bytes that pass unchanged
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(text.data() + plain, text.size() - plain);
}

void BeginReply(Turn& turn, std::string_view callName, int32_t result) {
  std::string& out = turn.reply;
  out.assign(kFramePrefixSize, '\0');
  out += "{\"i\":\"";
  AppendEscaped(out, turn.id);
  out += "\",\"";
  out += callName;
  out += "\":\"";
  AppendStatusText(out, result);
  out += "\",\"resp\":\"";
  AppendEscaped(out, turn.echo);
  out += '"';
}

void AddMember(Turn& turn, std::string_view key, std::string_view value) {
  AppendKey(turn.reply, key);
  turn.reply += value;
  turn.reply += '"';
}

void AddNumberMember(Turn& turn, std::string_view key, uint32_t value) {
  AppendKey(turn.reply, key);
  AppendNumberText(turn.reply, value);
  turn.reply += '"';
}

void AddByteListMember(Turn& turn, std::string_view key, const uint8_t* bytes, int64_t length) {
  AppendKey(turn.reply, key);
  if (!AppendByteList(turn.reply, bytes, length)) turn.reply += "NULL";
  turn.reply += '"';
}

void AddHandleText(Turn& turn, std::string_view countKey, const char* const byteKeys[8],
                   uint64_t handle) {
  AddMember(turn, countKey, "8");
  for (int k = 0; k < 8; ++k) {
    AppendKey(turn.reply, byteKeys[k]);
    AppendNumberText(turn.reply, static_cast<uint32_t>((handle >> (8 * k)) & 0xFF));
    turn.reply += '"';
  }
}

void SendReply(Turn& turn) {
  turn.reply += '}';
  // A browser that closed our output is gone for good: end quietly rather than serve nobody.
  if (!WriteFrame(turn.out, turn.reply)) EndHost(0);
}

void SendHeldReplies(Turn& turn) {
  if (!SendHeldReplies(turn.out)) EndHost(0);
}

}  // namespace host
