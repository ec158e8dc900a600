#pragma once

// A provider on the simulated platform, with a scripted control session and
// a UDP data channel whose server side the test plays by hand.

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "datachannel/crypto/VantuSession.h"
#include "platform/sim/SimPlatform.h"

namespace vantu::testing {

// The direction constant the server uses in the nonces of its own units.
inline constexpr uint32_t kServerDirection = 0x53324300;

inline std::shared_ptr<VantuSession> makeSession(const std::string& transport = "udp",
                                                 std::optional<RoutingPolicy> policy = std::nullopt,
                                                 std::vector<std::string> dnsServers = {"9.9.9.9", "1.1.1.1"}) {
    Bytes key(16);
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0x30 + i);
    return std::make_shared<VantuSession>(0x01020304u, key, "aes-128-gcm", "10.7.0.2", 1420, 5555, transport,
                                          std::move(dnsServers), std::move(policy));
}

// A unit sealed the way the server seals: its own direction, the session key.
inline Bytes serverUnit(const VantuSession& session, uint32_t seq, const Bytes& plainFrame) {
    const std::array<uint8_t, 12> nonce = makeNonce(session.sessionID, seq, kServerDirection);
    Bytes unit(nonce.begin(), nonce.end());
    session.cipher.sealInto(plainFrame.data(), plainFrame.size(), nonce.data(), unit);
    return unit;
}

inline Bytes serverPong(const VantuSession& session, uint32_t seq) {
    return serverUnit(session, seq, Bytes{PacketTunnelProvider::kFramePong});
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
    for (const auto& line : provider.diagnosticsEvents) out.push_back(eventMessage(line));
    return out;
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
    std::optional<VantuConfig> controlConfig;

    ProviderHarness() {
        sim.host.protocol = ProtocolConfiguration{true, validProviderConfiguration()};
        provider->openControlSession = [this](const VantuConfig& config) {
            ++controlCalls;
            controlConfig = config;
            return session;
        };
    }

    // The UDP session created last (the current data channel's, in a start).
    sim::SimUDPSession* udp() { return sim.host.udpSessions.empty() ? nullptr : sim.host.udpSessions.back().get(); }

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
    void answerHandshake(uint32_t seq = 1) {
        sim.queue.runUntilIdle();
        ASSERT_NE(udp(), nullptr);
        ASSERT_FALSE(udp()->writes.empty()) << "no handshake ping was sent";
        udp()->deliver({serverPong(*session, seq)});
        sim.queue.runUntilIdle();
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
        sim.queue.runUntilIdle();
        return *calls;
    }

    std::string report() {
        std::optional<Bytes> reply;
        provider->handleAppMessage(bytesOf("diagnostics"), [&](std::optional<Bytes> r) { reply = r; });
        sim.queue.runUntilIdle();
        return reply ? std::string(reply->begin(), reply->end()) : std::string();
    }
};

inline size_t countOccurrences(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) {
        ++count;
    }
    return count;
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (true) {
        const auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

}  // namespace vantu::testing
