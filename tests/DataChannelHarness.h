#pragma once

// A provider on the simulated platform with one AES-128-GCM session, plus a
// fake server that seals frames towards the client and opens what the client
// sent. Shared by the data-channel and read-loop tests.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "datachannel/crypto/VantuSession.h"
#include "platform/sim/SimPlatform.h"

namespace vantu::testing {

inline constexpr uint32_t kServerDirection = 0x53324300;  // "S2C\0"
inline constexpr const char* kServerHost = "198.51.100.20";

inline Bytes testKey() {
    Bytes key;
    for (uint8_t i = 0; i < 16; ++i) key.push_back(static_cast<uint8_t>(0xa0 + i));
    return key;
}

// A minimal IPv4 packet: 20-byte header, then a UDP or TCP header and zero
// payload bytes up to `length`.
inline Bytes ipv4Packet(size_t length, uint8_t protocol, const uint8_t destination[4], uint16_t destinationPort,
                        uint8_t fill = 0) {
    Bytes p(length, fill);
    p[0] = 0x45;
    p[1] = 0;
    p[2] = static_cast<uint8_t>(length >> 8);
    p[3] = static_cast<uint8_t>(length);
    p[6] = 0x40;  // don't fragment
    p[7] = 0;
    p[8] = 64;
    p[9] = protocol;
    const uint8_t source[4] = {10, 7, 0, 2};
    for (int i = 0; i < 4; ++i) {
        p[12 + i] = source[i];
        p[16 + i] = destination[i];
    }
    p[20] = 0xc3;
    p[21] = 0x50;  // source port 50000
    p[22] = static_cast<uint8_t>(destinationPort >> 8);
    p[23] = static_cast<uint8_t>(destinationPort);
    if (protocol == 17 && length >= 28) {
        p[24] = static_cast<uint8_t>((length - 20) >> 8);
        p[25] = static_cast<uint8_t>(length - 20);
        p[26] = p[27] = 0;
    }
    return p;
}

struct Harness {
    sim::SimPlatform sim;
    std::shared_ptr<PacketTunnelProvider> provider;
    std::shared_ptr<VantuSession> session;
    std::vector<std::optional<TunnelError>> completions;
    uint32_t serverSeq = 1;

    explicit Harness(const std::string& transport = "udp",
                     UDPSessionState initialState = UDPSessionState::ready) {
        sim.host.initialUDPState = initialState;
        provider = PacketTunnelProvider::create(sim.platform());
        session = std::make_shared<VantuSession>(0x01020304u, testKey(), "aes-128-gcm", "10.7.0.2", 1420, 51820,
                                                 transport, std::vector<std::string>{"192.0.2.53"}, std::nullopt);
        provider->session = session;
    }

    void start() {
        provider->startDataChannel(kServerHost, session,
                                   [this](std::optional<TunnelError> e) { completions.push_back(std::move(e)); });
    }

    sim::SimUDPSession& udp() { return *sim.host.udpSessions.back(); }
    void run() { sim.queue.runUntilIdle(); }
    void advance(double seconds) { sim.queue.advance(Duration(seconds)); }
    Instant now() const { return sim.queue.clock().now(); }
    // Moves the virtual clock to exactly `seconds` after the harness was
    // built (rounded to whole nanoseconds, so that 0.3 is 300000000 ns and
    // not one nanosecond short of it).
    void at(double seconds) {
        sim.queue.advanceTo(t0 + std::chrono::nanoseconds(std::llround(seconds * 1e9)));
    }
    const Instant t0 = sim.queue.clock().now();

    Bytes serverUnit(const Bytes& frame) {
        const auto nonce = makeNonce(session->sessionID, serverSeq++, kServerDirection);
        Bytes unit(nonce.begin(), nonce.end());
        session->cipher.sealInto(frame.data(), frame.size(), nonce.data(), unit);
        return unit;
    }
    void deliverFrames(const std::vector<Bytes>& frames) {
        std::vector<Bytes> units;
        for (const Bytes& f : frames) units.push_back(serverUnit(f));
        udp().deliver(std::move(units));
        run();
    }
    void pong() { deliverFrames({Bytes{0x81}}); }

    // Opens every datagram the client wrote on the given session.
    std::vector<Bytes> sentFrames(const sim::SimUDPSession& s) const {
        std::vector<Bytes> frames;
        for (const Bytes& unit : s.writes) frames.push_back(session->decrypt(unit));
        return frames;
    }
    size_t pingCount(const sim::SimUDPSession& s) const {
        size_t n = 0;
        for (const Bytes& f : sentFrames(s)) n += (f == Bytes{0x01, 'p', 'i', 'n', 'g'});
        return n;
    }

    // Start a channel on a ready session and complete its handshake.
    void verify() {
        start();
        run();
        pong();
        ASSERT_EQ(completions.size(), 1u);
        ASSERT_FALSE(completions[0].has_value());
        ASSERT_TRUE(provider->handshakeCompleted);
    }

    bool logged(const std::string& text) const { return sim.log.contains(text); }
    bool recorded(const std::string& text) const {
        for (const std::string& line : provider->diagnosticsEvents) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
};

}  // namespace vantu::testing
