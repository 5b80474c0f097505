// What a virtual card answers: its ATR, scripted answers to given APDUs, delays, and a small
// built-in card for everything the script does not cover.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vpcd_link.h"

namespace vcard {

// 3B 8A 80 01 "TESSERA-VC" TCK: offers T=0 and T=1.
extern const Bytes kDefaultAtr;

// One scripted answer. The first rule whose command matches wins.
struct Rule {
  Bytes command;        // the whole APDU, or its first bytes when prefix is set
  bool prefix = false;  // match APDUs that start with command
  Bytes response;       // data and status word, at most kMaxMessage bytes
  int delayMs = 0;      // wait this long before answering
};

struct CardBehaviour {
  Bytes atr = kDefaultAtr;
  std::vector<Rule> rules;
  int delayMs = 0;      // extra wait before every answer
  bool builtIn = true;  // unmatched APDUs go to the built-in card; otherwise 6D 00
};

// The built-in card:
//   SELECT (INS A4)            -> 90 00
//   READ BINARY (INS B0)       -> Ne bytes of PatternBytes, 90 00 (Ne from short or extended Le;
//                                 capped at 65533 so that the answer fits vpcd's length)
//   GET CHALLENGE (INS 84)     -> Ne random bytes, 90 00
//   anything else              -> 6D 00
Bytes BuiltInAnswer(const Bytes& apdu);

// Byte i of the built-in card's READ BINARY data: i mod 251, so that a lost or shifted byte shows.
Bytes PatternBytes(size_t count);

// Ne of a case 2 or case 4 APDU, short or extended (0 when none is asked for).
size_t ExpectedLength(const Bytes& apdu);

struct Answer {
  Bytes response;
  int delayMs = 0;
};
Answer AnswerApdu(const CardBehaviour& behaviour, const Bytes& apdu);

// Parses "COMMAND=RESPONSE" (hex; COMMAND ending in "*" matches as a prefix; "@MS" after the
// response adds a delay), as the CLI and scripts write rules.
bool ParseRule(const std::string& text, Rule& rule);

}  // namespace vcard
