#pragma once

// Pure codecs of the direct core: the IPv4/UDP datagrams and IPv4/TCP
// segments that applications send to direct destinations, and the packets
// the relays write back in the remote host's name. No provider state; every
// bound is checked before a read.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/Bytes.h"

namespace vantu {

// The local 4-tuple of a relayed flow, as the application sees it. Addresses
// are host-order values (first dotted number in the high byte).
struct DirectFlowKey {
    uint32_t sourceAddress = 0;
    uint16_t sourcePort = 0;
    uint32_t destinationAddress = 0;
    uint16_t destinationPort = 0;
    auto operator<=>(const DirectFlowKey&) const = default;

    // "10.8.0.2:999->198.51.100.7:443"
    std::string description() const;
    // "198.51.100.7:443"
    std::string destination() const;
};
using DirectUDPKey = DirectFlowKey;
using DirectTCPKey = DirectFlowKey;

std::string dottedQuad(uint32_t address);

namespace DirectCodec {
// The Internet checksum (RFC 1071) of `length` bytes, folded and complemented.
uint32_t addWords(const uint8_t* bytes, size_t length, uint32_t sum);
uint16_t foldedChecksum(uint32_t sum);
uint16_t ipv4Checksum(const uint8_t* bytes, size_t length);
uint16_t tcpChecksum(const uint8_t* packet, size_t tcpStart, size_t tcpLength, const uint8_t* sourceAddress,
                     const uint8_t* destinationAddress);
}  // namespace DirectCodec

namespace DirectUDPCore {

struct Datagram {
    DirectUDPKey key;
    Bytes payload;
};

// Only a well-formed, unfragmented IPv4/UDP packet yields a datagram.
std::optional<Datagram> datagram(const Bytes& packet);
// What the remote end of `key` would have sent: nothing for a payload over
// 65507 bytes.
std::optional<Bytes> responsePacket(const uint8_t* payload, size_t length, const DirectUDPKey& key);

}  // namespace DirectUDPCore

struct DirectTCPFlags {
    static constexpr uint8_t fin = 0x01, syn = 0x02, rst = 0x04, psh = 0x08, ack = 0x10;
};

namespace DirectTCPCore {

struct Segment {
    DirectTCPKey key;
    uint32_t sequence = 0;
    uint32_t acknowledgement = 0;
    uint8_t flags = 0;
    uint16_t window = 0;
    Bytes payload;
    std::optional<int> maxSegmentSize;

    bool hasSYN() const { return flags & DirectTCPFlags::syn; }
    bool hasACK() const { return flags & DirectTCPFlags::ack; }
    bool hasFIN() const { return flags & DirectTCPFlags::fin; }
    bool hasRST() const { return flags & DirectTCPFlags::rst; }
};

std::optional<int> tcpMSS(const uint8_t* options, size_t length);
// Only a well-formed, unfragmented IPv4/TCP packet yields a segment.
std::optional<Segment> segment(const Bytes& packet);
// The segment the remote end of `key` would send; an MSS option only on a
// SYN, clamped to 536...65535. Nothing when the result would exceed 65535 bytes.
std::optional<Bytes> responsePacket(const uint8_t* payload, size_t length, uint8_t flags, uint32_t sequence,
                                    uint32_t acknowledgement, std::optional<int> maxSegmentSize,
                                    const DirectTCPKey& key, uint16_t window = 0xffff);
// RST+ACK at `sequence`, acknowledging `acknowledgement`.
std::optional<Bytes> resetPacket(uint32_t sequence, uint32_t acknowledgement, const DirectTCPKey& key);

}  // namespace DirectTCPCore

}  // namespace vantu
