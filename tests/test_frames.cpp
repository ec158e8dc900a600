// The frame layer: wire sizes, dispatch of server frames, the receive path's
// handling of garbage, and the send-failure policy of the UDP carrier.

#include <gtest/gtest.h>

#include "tests/DataChannelHarness.h"

namespace vantu::testing {
namespace {

const uint8_t kDestination[4] = {203, 0, 113, 9};

TEST(Frames, WireFormOfPingAndDataFrames) {
    Harness h;
    h.start();
    // The session is ready at the first check, so the first ping is already out.
    ASSERT_EQ(h.udp().writes.size(), 1u);
    const Bytes pingUnit = h.udp().writes[0];
    EXPECT_EQ(pingUnit.size(), 5u + 28u);
    EXPECT_EQ(Bytes(pingUnit.begin(), pingUnit.begin() + 12),
              (Bytes{0x01, 0x02, 0x03, 0x04, 0, 0, 0, 1, 0x43, 0x32, 0x53, 0x00}));
    EXPECT_EQ(h.session->decrypt(pingUnit), (Bytes{0x01, 0x70, 0x69, 0x6E, 0x67}));
    EXPECT_EQ(h.provider->lastSentPlainPreview, "0170696e67");

    const Bytes packet = ipv4Packet(60, 17, kDestination, 443, 0xee);
    h.provider->sendFrame(PacketTunnelProvider::kFrameData, packet);
    ASSERT_EQ(h.udp().writes.size(), 2u);
    EXPECT_EQ(h.udp().writes[1].size(), 89u);
    const Bytes plain = h.session->decrypt(h.udp().writes[1]);
    ASSERT_EQ(plain.size(), 61u);
    EXPECT_EQ(plain[0], 0x02);
    EXPECT_EQ(Bytes(plain.begin() + 1, plain.end()), packet);
    EXPECT_EQ(h.provider->lastSentPlainPreview, "02" + hexPrefix(packet, 15));
    EXPECT_EQ(h.provider->lastSentPlainPreview.substr(0, 6), "024500");
    EXPECT_EQ(h.provider->lastSentPlainPreview.size(), 32u);
    EXPECT_EQ(h.provider->udpSendAttempts, 2);
    h.run();
    EXPECT_EQ(h.provider->udpSendCompletions, 2);
}

TEST(Frames, FramesWithoutCarrierOrSessionGoNowhere) {
    // UDP transport before any channel exists: the unit is dropped but its
    // sequence number is used up.
    Harness udp;
    udp.provider->sendFrame(2, Bytes{0x45, 0x00});
    EXPECT_EQ(udp.session->seq, 2u);
    EXPECT_EQ(udp.provider->udpSendAttempts, 0);
    EXPECT_EQ(udp.provider->lastSentPlainPreview, "024500");
    EXPECT_TRUE(udp.sim.host.udpSessions.empty());

    // No session: nothing at all, not even the preview.
    udp.provider->session = nullptr;
    udp.provider->sendFrame(2, Bytes{0x45, 0x11});
    EXPECT_EQ(udp.provider->lastSentPlainPreview, "024500");

    // Stream transport without an open socket: no counter, no event.
    Harness tcp("tcp");
    tcp.provider->sendPingFrame();
    tcp.run();
    EXPECT_EQ(tcp.session->seq, 2u);
    EXPECT_EQ(tcp.provider->lastSentPlainPreview, "0170696e67");
    EXPECT_EQ(tcp.provider->tcpSendAttempts, 0);
    EXPECT_EQ(tcp.provider->tcpSendFailures, 0);
    EXPECT_TRUE(tcp.provider->diagnosticsEvents.empty());
    EXPECT_TRUE(tcp.sim.host.tcpConnections.empty());
}

TEST(Frames, DispatchOfServerFrames) {
    Harness h;
    h.start();
    h.run();
    ASSERT_TRUE(h.completions.empty());

    // A pong with a payload completes the pending handshake.
    h.advance(0.5);
    h.deliverFrames({Bytes{0x81, 'p', 'o', 'n', 'g'}});
    ASSERT_EQ(h.completions.size(), 1u);
    EXPECT_FALSE(h.completions[0].has_value());
    EXPECT_TRUE(h.logged("VantuPacketTunnel: encrypted pong received"));
    EXPECT_TRUE(h.logged("keepalive started"));
    EXPECT_EQ(h.provider->lastReceivedPlainPreview, "81706f6e67");

    // A second pong only refreshes the last-frame time.
    h.advance(2.0);
    const size_t linesBefore = h.sim.log.lines.size();
    h.pong();
    EXPECT_EQ(h.completions.size(), 1u);
    EXPECT_EQ(h.provider->lastDataFrameReceivedAt, h.now());
    EXPECT_EQ(h.sim.log.lines.size(), linesBefore + 1);

    // Server data goes to the system, protocol AF_INET.
    const Bytes packet = ipv4Packet(48, 17, kDestination, 53, 0x5a);
    Bytes frame{0x82};
    frame.insert(frame.end(), packet.begin(), packet.end());
    h.deliverFrames({frame});
    ASSERT_EQ(h.sim.packetFlow.written.size(), 1u);
    EXPECT_EQ(h.sim.packetFlow.written[0], packet);
    EXPECT_EQ(h.sim.packetFlow.writtenProtocols, std::vector<int>{2});

    // Client frame types and unknown ones are logged in bare hex and dropped.
    h.deliverFrames({Bytes{0x02, 0x45, 0x00}, Bytes{0xab}, Bytes{0x01, 'p'}});
    EXPECT_TRUE(h.logged("VantuPacketTunnel: unknown frame 0x2"));
    EXPECT_TRUE(h.logged("VantuPacketTunnel: unknown frame 0xab"));
    EXPECT_TRUE(h.logged("VantuPacketTunnel: unknown frame 0x1"));
    EXPECT_FALSE(h.logged("unknown frame 0x02"));
    EXPECT_EQ(h.sim.packetFlow.written.size(), 1u);
    EXPECT_EQ(h.provider->udpDatagramsReceived, 6);
}

TEST(Frames, UnitsThatDoNotOpenChangeNothingButTheLastError) {
    Harness h;
    h.verify();
    h.advance(3.0);
    const Instant lastFrame = h.provider->lastDataFrameReceivedAt;
    ASSERT_LT(lastFrame, h.now());
    const int64_t received = h.provider->udpDatagramsReceived;

    Bytes tampered = h.serverUnit(Bytes{0x82, 0x45, 0x00});
    tampered.back() ^= 0x01;
    Bytes otherKey = h.serverUnit(Bytes{0x81});
    otherKey[5] ^= 0x80;  // the nonce no longer matches the tag
    h.udp().deliver({Bytes(27, 0x11), tampered, otherKey, Bytes{}});
    h.run();

    EXPECT_TRUE(h.logged("VantuPacketTunnel: decrypt failed for 27 bytes: packet too short"));
    EXPECT_TRUE(h.logged("decrypt failed for " + std::to_string(tampered.size()) + " bytes: "));
    EXPECT_FALSE(h.provider->lastDecryptError.empty());
    EXPECT_NE(h.provider->lastDecryptError, "packet too short");
    EXPECT_EQ(h.provider->lastDataFrameReceivedAt, lastFrame);
    EXPECT_TRUE(h.sim.packetFlow.written.empty());
    // The empty datagram is not counted; the three bad ones are.
    EXPECT_EQ(h.provider->udpDatagramsReceived, received + 3);
    EXPECT_TRUE(h.sim.host.cancellations.empty());

    // A unit holding an empty frame opens but is dropped as well.
    h.udp().deliver({h.serverUnit(Bytes{})});
    h.run();
    EXPECT_EQ(h.provider->lastDataFrameReceivedAt, lastFrame);
}

TEST(Frames, UDPSendFailuresBeforeAndAfterTheHandshake) {
    // Before the handshake the first failed write ends it.
    {
        Harness h;
        h.sim.host.onNewUDPSession = [](sim::SimUDPSession& s) { s.failWrites = "no route to host"; };
        h.start();
        h.run();
        ASSERT_EQ(h.completions.size(), 1u);
        ASSERT_TRUE(h.completions[0].has_value());
        EXPECT_EQ(h.completions[0]->description(), "UDP send failed: no route to host");
        EXPECT_EQ(h.completions[0]->domain, TunnelError::kVantuDomain);
        EXPECT_EQ(h.provider->udpSendFailures, 1);
        EXPECT_EQ(h.provider->lastUDPSendError, "no route to host");
        EXPECT_TRUE(h.recorded("UDP send failed: no route to host"));
        EXPECT_TRUE(h.recorded("data channel failed: UDP send failed: no route to host"));
        EXPECT_EQ(h.provider->udpSession, nullptr);
        EXPECT_TRUE(h.sim.host.udpSessions[0]->cancelled);
        EXPECT_TRUE(h.sim.host.cancellations.empty());
    }
    // After it, the third failure since the start fails the channel.
    {
        Harness h;
        h.verify();
        h.udp().failWrites = "buffer full";
        const Bytes packet = ipv4Packet(40, 6, kDestination, 80);
        h.provider->sendFrame(2, packet);
        h.provider->sendFrame(2, packet);
        h.run();
        EXPECT_EQ(h.provider->udpSendFailures, 2);
        EXPECT_NE(h.provider->udpSession, nullptr);
        EXPECT_TRUE(h.sim.host.cancellations.empty());

        h.provider->sendFrame(2, packet);
        h.run();
        EXPECT_EQ(h.provider->udpSendFailures, 3);
        EXPECT_EQ(h.provider->lastTunnelFailure, "UDP send failed: buffer full");
        ASSERT_EQ(h.sim.host.cancellations.size(), 1u);
        EXPECT_EQ(h.sim.host.cancellations[0], TunnelError::fromVantu("UDP send failed: buffer full"));
        EXPECT_EQ(h.provider->udpSession, nullptr);
        EXPECT_EQ(h.provider->keepaliveSource, nullptr);
    }
}

TEST(Frames, WriteCompletionsOfAReplacedChannelAreIgnored) {
    Harness h;
    h.verify();
    sim::SimUDPSession& old = h.udp();
    old.holdWriteCompletions = true;
    h.provider->sendFrame(2, ipv4Packet(40, 17, kDestination, 443));
    h.provider->sendFrame(2, ipv4Packet(40, 17, kDestination, 443));
    EXPECT_EQ(h.provider->udpSendAttempts, 3);  // handshake ping + two data frames

    // The channel is closed and a new one started before the writes complete.
    h.provider->closeDataChannel();
    h.start();
    h.run();
    ASSERT_EQ(h.sim.host.udpSessions.size(), 2u);
    const int64_t attempts = h.provider->udpSendAttempts;
    const int64_t completions = h.provider->udpSendCompletions;
    old.completeHeldWrites("socket closed");
    h.run();
    EXPECT_EQ(h.provider->udpSendFailures, 0);
    EXPECT_EQ(h.provider->udpSendCompletions, completions);
    EXPECT_EQ(h.provider->udpSendAttempts, attempts);
    EXPECT_TRUE(h.provider->lastUDPSendError.empty());
    EXPECT_FALSE(h.recorded("socket closed"));
}

}  // namespace
}  // namespace vantu::testing
