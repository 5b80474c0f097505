// The request bodies that the benchmarks send: what an extension sends for the calls that a
// signature or login makes most often.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Handles the benchmarks use where no real service hands them out.
constexpr uint64_t kBenchContext = 0x0102030405060708u;
constexpr uint64_t kBenchCard = 0x1112131415161718u;

// Bytes that look like card data: every value 0..255, in no order that compresses.
std::vector<uint8_t> CardBytes(size_t n);
// The Byte list text of bytes.
std::string ByteListText(const std::vector<uint8_t>& bytes);

// {"i":"1","c":103}: the smallest request there is.
std::string StartedEventBody();
// {"i":"1","c":114,"p":2}: a new context in the system scope.
std::string EstablishContextBody();
// Connect to reader, shared, T=0 or T=1.
std::string ConnectBody(uint64_t context, const std::string& reader);
// Transmit of apdu with a send PCI for protocol (T=1 by default) and a receive buffer of
// recvLength bytes.
std::string TransmitBody(uint64_t card, const std::vector<uint8_t>& apdu, uint32_t recvLength,
                         uint32_t protocol = 2);
// A SELECT by application id: 13 bytes, the usual first APDU of a session.
std::vector<uint8_t> ShortApdu();
// All readers of the context.
std::string ListReadersBody(uint64_t context);
// The card's status with reader names and ATR.
std::string StatusBody(uint64_t card);

}  // namespace bench
