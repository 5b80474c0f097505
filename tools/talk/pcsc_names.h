// Readable names of PC/SC values, for showing replies to people.
#pragma once

#include <cstdint>
#include <string>

namespace talk {

// "SCARD_E_NO_SERVICE" and the like, or "" for a code without a known name.
std::string ResultName(uint32_t code);
// Reader state flags (SCardGetStatusChange): "PRESENT|CHANGED", with the event count if any.
std::string ReaderStateNames(uint32_t state);
// Protocol bits: "T=1", "T=0|T=1", "raw", or "" for none.
std::string ProtocolNames(uint32_t protocol);

}  // namespace talk
