#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "server/PacketSink.h"

namespace vantu::server {

// An in-process stand-in for the network behind the server: every ICMP echo
// request is answered with an echo reply from the address it was sent to,
// and every UDP datagram is sent straight back with addresses and ports
// swapped. Other packets, fragments and malformed packets are dropped.
class EchoResponder : public PacketSink {
public:
    void deliver(const Bytes& packet) override;

    // The reply for one packet, or nullopt when it gets none. Pure.
    static std::optional<Bytes> reply(const Bytes& packet);

    uint64_t echoedICMP() const { return echoedICMP_; }
    uint64_t echoedUDP() const { return echoedUDP_; }
    uint64_t ignored() const { return ignored_; }

private:
    std::atomic<uint64_t> echoedICMP_{0};
    std::atomic<uint64_t> echoedUDP_{0};
    std::atomic<uint64_t> ignored_{0};
};

// The Internet checksum (RFC 1071) of `length` bytes, folded and
// complemented, continuing from a partial sum.
uint16_t internetChecksum(const uint8_t* data, size_t length, uint32_t partial = 0);

}  // namespace vantu::server
