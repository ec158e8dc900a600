#pragma once

// DNS queries in outbound packets, and the reply packets that carry answers
// back. The provider answers the system's queries itself (asking an upstream
// server outside the tunnel), so that it sees every answer; this is the
// packet-level half of that, free of provider state.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/Bytes.h"

namespace vantu {

namespace LocalDNSResolver {

struct Query {
    Bytes originalPacket;  // the whole IPv4 packet, for the fallback into the tunnel
    Bytes dnsPayload;      // the DNS message, bounded by the UDP length
    std::array<uint8_t, 4> sourceAddress{};
    std::array<uint8_t, 4> destinationAddress{};
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    uint16_t identification = 0;

    // The question name for log lines; "unknown" when it cannot be read.
    std::string debugName() const;
};

// A DNS query (UDP to port 53, any address, QR clear) that the provider
// answers itself, or nothing. Cheap for everything else: a few byte reads
// and no copies before the packet is known to be a query.
std::optional<Query> query(const Bytes& packet);

// The first question's name, labels joined with "."; nothing for a message
// without a question, a compressed name, or a label that runs out of bytes.
std::optional<std::string> questionName(const Bytes& dnsPayload);

// The IPv4/UDP packet that delivers `dnsPayload` to the asker, sent from the
// address and port it asked. Nothing when the answer is empty or the packet
// would exceed 65535 bytes.
std::optional<Bytes> responsePacket(const Query& query, const Bytes& dnsPayload);

// The Internet checksum (RFC 1071) of `length` bytes.
uint16_t ipv4Checksum(const uint8_t* header, size_t length);

}  // namespace LocalDNSResolver

}  // namespace vantu
