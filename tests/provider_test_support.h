#pragma once

// A provider on the simulated platform with a scripted control session, and
// the server's side of its UDP data channel played by hand: units sealed the
// way the server seals them, and the client's units opened again.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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

// Wire values written out, so that a wrong constant in the provider cannot
// slip into the tests: the server's nonce direction and the frame types.
inline constexpr uint32_t kServerDirection = 0x53324300;
inline constexpr uint8_t kClientData = 0x02, kServerPong = 0x81, kServerData = 0x82;
inline const Bytes kPingFrame{0x01, 'p', 'i', 'n', 'g'};
// Where startChannel() points the data channel (a start uses the configured server).
inline constexpr const char* kServerHost = "198.51.100.20";

inline std::shared_ptr<VantuSession> makeSession(const std::string& transport = "udp",
                                                 std::optional<RoutingPolicy> policy = std::nullopt,
                                                 std::vector<std::string> dnsServers = {"9.9.9.9", "1.1.1.1"},
                                                 uint16_t dataPort = 5555) {
    Bytes key(16);
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0x30 + i);
    return std::make_shared<VantuSession>(0x01020304u, key, "aes-128-gcm", "10.7.0.2", 1420, dataPort, transport,
                                          std::move(dnsServers), std::move(policy));
}

inline Bytes serverUnit(const VantuSession& session, uint32_t seq, const Bytes& plainFrame) {
    const std::array<uint8_t, 12> nonce = makeNonce(session.sessionID, seq, kServerDirection);
    Bytes unit(nonce.begin(), nonce.end());
    session.cipher.sealInto(plainFrame.data(), plainFrame.size(), nonce.data(), unit);
    return unit;
}

inline nlohmann::json validProviderConfiguration() {
    return nlohmann::json{{"server", "192.0.2.1:443"}, {"secretKey", "s3cret"}};
}

// The message part of an event line ("<timestamp> #<n> <message>").
inline std::string eventMessage(const std::string& line) {
    const auto hash = line.find(" #");
    if (hash == std::string::npos) return line;
    const auto space = line.find(' ', hash + 2);
    return space == std::string::npos ? std::string() : line.substr(space + 1);
}

inline std::vector<std::string> eventMessages(const PacketTunnelProvider& provider) {
    std::vector<std::string> out;
    for (const auto& line : provider.diagnostics.events) out.push_back(eventMessage(line));
    return out;
}

// A minimal IPv4 packet from 10.7.0.2:50000, don't-fragment set: the IPv4
// header, a UDP header or the ports of a TCP one, then `fill` up to `length`.
inline Bytes ipv4Packet(size_t length, uint8_t protocol, const std::array<uint8_t, 4>& to, uint16_t port,
                        uint8_t fill = 0) {
    const auto byte = [](size_t v) { return static_cast<uint8_t>(v); };
    const Bytes head = {0x45, 0, byte(length >> 8), byte(length), 0, 0, 0x40, 0, 64, protocol, 0, 0,
                        10, 7, 0, 2, to[0], to[1], to[2], to[3],
                        0xc3, 0x50, byte(port >> 8), byte(port), byte((length - 20) >> 8), byte(length - 20), 0, 0};
    Bytes p(length, fill);
    std::copy(head.begin(), head.begin() + (protocol == 17 ? 28 : 24), p.begin());
    return p;
}

inline Bytes dataFrame(const Bytes& packet, uint8_t type = kClientData) {
    Bytes frame(1 + packet.size());
    frame[0] = type;
    std::copy(packet.begin(), packet.end(), frame.begin() + 1);
    return frame;
}

struct StartResult {
    int calls = 0;
    std::optional<TunnelError> error;
    // The events as they stood when the completion ran.
    std::vector<std::string> eventsAtCompletion;
};

struct ProviderHarness {
    sim::SimPlatform sim;
    std::shared_ptr<PacketTunnelProvider> provider = PacketTunnelProvider::create(sim.platform());
    std::shared_ptr<VantuSession> session = makeSession();
    int controlCalls = 0;
    // What startChannel()'s completion was called with, call by call.
    std::vector<std::optional<TunnelError>> completions;
    uint32_t serverSeq = 1;
    const Instant t0 = sim.queue.now();

    explicit ProviderHarness(UDPSessionState initialUDPState = UDPSessionState::ready) {
        sim.host.initialUDPState = initialUDPState;
        sim.host.protocol = ProtocolConfiguration{true, validProviderConfiguration()};
        provider->openControlSession = [this](const VantuConfig&) {
            ++controlCalls;
            return session;
        };
    }

    // The UDP session created last (the current data channel's, in a start).
    sim::SimUDPSession* udp() { return sim.host.udpSessions.empty() ? nullptr : sim.host.udpSessions.back().get(); }
    void run() { sim.queue.runUntilIdle(); }
    void advance(double seconds) { sim.queue.advance(Duration(seconds)); }
    // To exactly `seconds` after construction, in whole nanoseconds so that
    // 0.3 is not one nanosecond short of the third 0.1 s poll.
    void at(double seconds) { sim.queue.advanceTo(t0 + std::chrono::nanoseconds(std::llround(seconds * 1e9))); }

    std::shared_ptr<StartResult> start() {
        auto result = std::make_shared<StartResult>();
        provider->startTunnel([result, p = provider.get()](std::optional<TunnelError> error) {
            ++result->calls;
            result->error = error;
            result->eventsAtCompletion = eventMessages(*p);
        });
        return result;
    }

    // Plays the server's side of the handshake: answers once the first ping is out.
    void answerHandshake() {
        run();
        ASSERT_NE(udp(), nullptr);
        ASSERT_FALSE(udp()->writes.empty()) << "no handshake ping was sent";
        pong();
    }

    std::shared_ptr<StartResult> startSuccessfully() {
        auto result = start();
        answerHandshake();
        EXPECT_EQ(result->calls, 1);
        EXPECT_FALSE(result->error.has_value()) << result->error->description();
        return result;
    }

    int stop(int reason) {
        auto calls = std::make_shared<int>(0);
        provider->stopTunnel(reason, [calls] { ++*calls; });
        run();
        return *calls;
    }

    std::string report() {
        std::optional<Bytes> reply;
        provider->handleAppMessage(bytesOf("diagnostics"), [&](std::optional<Bytes> r) { reply = r; });
        run();
        return reply ? std::string(reply->begin(), reply->end()) : std::string();
    }

    // The data channel alone, as a start would open it once it has a session.
    void startChannel() {
        provider->session = session;
        provider->startDataChannel(kServerHost, session,
                                   [this](std::optional<TunnelError> e) { completions.push_back(std::move(e)); });
    }
    void verifyChannel() {
        startChannel();
        run();
        pong();
        ASSERT_EQ(completions.size(), 1u);
        ASSERT_FALSE(completions[0].has_value());
    }

    Bytes serverUnit(const Bytes& frame) { return testing::serverUnit(*session, serverSeq++, frame); }
    void deliverFrames(const std::vector<Bytes>& frames) {
        std::vector<Bytes> units;
        for (const Bytes& f : frames) units.push_back(serverUnit(f));
        udp()->deliver(std::move(units));
        run();
    }
    void pong() { deliverFrames({Bytes{kServerPong}}); }

    // Every datagram the client wrote on `s`, opened.
    std::vector<Bytes> sentFrames(const sim::SimUDPSession& s) const {
        std::vector<Bytes> frames;
        for (const Bytes& unit : s.writes) frames.push_back(session->decrypt(unit));
        return frames;
    }
    size_t pings(const sim::SimUDPSession& s) const {
        const auto frames = sentFrames(s);
        return static_cast<size_t>(std::count(frames.begin(), frames.end(), kPingFrame));
    }
    size_t pings() { return pings(*udp()); }

    bool logged(const std::string& text) const { return sim.log.contains(text); }
    bool recorded(const std::string& text) const {
        const auto& events = provider->diagnostics.events;
        return std::any_of(events.begin(), events.end(), [&](const auto& e) { return e.find(text) != e.npos; });
    }
};

inline size_t countOccurrences(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++count;
    return count;
}

}  // namespace vantu::testing
