// The frame layer: wire sizes, dispatch of server frames, the receive path's
// handling of garbage, and the send-failure policy of the UDP carrier.

#include "tests/provider_test_support.h"

namespace vantu::testing {
namespace {

const std::array<uint8_t, 4> kDestination = {203, 0, 113, 9};

TEST(Frames, WireFormOfPingAndDataFrames) {
    ProviderHarness h;
    h.startChannel();
    // The session is ready at the first check, so the first ping is already out.
    ASSERT_EQ(h.udp()->writes.size(), 1u);
    const Bytes& ping = h.udp()->writes[0];
    EXPECT_EQ(ping.size(), 5u + 28u);
    // The nonce: session ID, sequence 1, direction "C2S\0".
    EXPECT_EQ(Bytes(ping.begin(), ping.begin() + 12), (Bytes{1, 2, 3, 4, 0, 0, 0, 1, 0x43, 0x32, 0x53, 0x00}));
    EXPECT_EQ(h.session->decrypt(ping), (Bytes{0x01, 0x70, 0x69, 0x6E, 0x67}));
    EXPECT_EQ(h.provider->dataChannel.lastSentPlainPreview, "0170696e67");

    const Bytes packet = ipv4Packet(60, 17, kDestination, 443, 0xee);
    h.provider->sendFrame(kClientData, packet);
    ASSERT_EQ(h.udp()->writes.size(), 2u);
    EXPECT_EQ(h.udp()->writes[1].size(), 89u);
    EXPECT_EQ(h.session->decrypt(h.udp()->writes[1]), dataFrame(packet));
    EXPECT_EQ(h.provider->dataChannel.lastSentPlainPreview, "024500003c00004000401100000a0700");  // 16 bytes at most
}

TEST(Frames, FramesWithoutCarrierOrSessionGoNowhere) {
    // Before any channel exists the unit is dropped, but its sequence number is used up.
    ProviderHarness h;
    h.provider->session = h.session;
    h.provider->sendFrame(kClientData, Bytes{0x45, 0x00});
    EXPECT_EQ(h.session->seq, 2u);
    EXPECT_EQ(h.provider->dataChannel.udpSendAttempts, 0);
    EXPECT_EQ(h.provider->dataChannel.lastSentPlainPreview, "024500");
    EXPECT_TRUE(h.sim.host.udpSessions.empty());
    // No session: nothing at all, not even the preview.
    h.provider->session = nullptr;
    h.provider->sendFrame(kClientData, Bytes{0x45, 0x11});
    EXPECT_EQ(h.provider->dataChannel.lastSentPlainPreview, "024500");
}

TEST(Frames, DispatchOfServerFrames) {
    ProviderHarness h;
    h.startChannel();
    h.advance(0.5);
    ASSERT_TRUE(h.completions.empty());

    // One batch: empty datagrams are skipped, the rest handled in order. A
    // pong with a payload completes the handshake; server data goes to the
    // system, protocol AF_INET.
    const Bytes packet = ipv4Packet(48, 17, kDestination, 53, 0x5a);
    h.udp()->deliver({Bytes{}, h.serverUnit({kServerPong, 'p', 'o', 'n', 'g'}), Bytes{},
                      h.serverUnit(dataFrame(packet, kServerData))});
    h.run();
    ASSERT_EQ(h.completions.size(), 1u);
    EXPECT_FALSE(h.completions[0].has_value());
    EXPECT_TRUE(h.logged("VantuPacketTunnel: encrypted pong received"));
    EXPECT_EQ(h.provider->dataChannel.udpDatagramsReceived, 2);
    EXPECT_EQ(h.sim.packetFlow.written, std::vector<Bytes>{packet});
    EXPECT_EQ(h.sim.packetFlow.writtenProtocols, std::vector<int>{2});
    EXPECT_EQ(h.provider->dataChannel.lastReceivedPlainPreview, "824500003000004000401100000a0700");

    // A second pong only refreshes the last-frame time.
    h.advance(2.0);
    const size_t linesBefore = h.sim.log.lines.size();
    h.pong();
    EXPECT_EQ(h.completions.size(), 1u);
    EXPECT_EQ(h.provider->keepalive.lastDataFrameReceivedAt, h.sim.queue.now());
    EXPECT_EQ(h.sim.log.lines.size(), linesBefore + 1);

    // Client frame types and unknown ones are logged in bare hex and dropped.
    h.deliverFrames({Bytes{kClientData, 0x45, 0x00}, Bytes{0xab}, Bytes{0x01, 'p'}});
    for (const char* type : {"0x2", "0xab", "0x1"}) {
        EXPECT_TRUE(h.logged(std::string("VantuPacketTunnel: unknown frame ") + type)) << type;
    }
    EXPECT_FALSE(h.logged("unknown frame 0x02"));
    EXPECT_EQ(h.sim.packetFlow.written.size(), 1u);
    EXPECT_EQ(h.provider->dataChannel.udpDatagramsReceived, 6);
}

TEST(Frames, ReplayedReflectedAndUndecryptableUnitsAreDropped) {
    ProviderHarness h;
    h.verifyChannel();  // the pong used server sequence 1
    const Bytes packet = ipv4Packet(40, 17, kDestination, 443, 0x5a);
    const Bytes newest = testing::serverUnit(*h.session, 5000, dataFrame(packet, kServerData));
    const Bytes older = testing::serverUnit(*h.session, 4000, dataFrame(packet, kServerData));
    const Bytes tooOld = testing::serverUnit(*h.session, 2, dataFrame(packet, kServerData));
    h.advance(3.0);
    const Instant before = h.sim.queue.now();
    h.udp()->deliver({newest, newest, older, older, tooOld});
    h.run();
    // The first copy of each goes through; an out-of-order but fresh one too;
    // one too far behind the newest cannot be told from a replay.
    EXPECT_EQ(h.sim.packetFlow.written.size(), 2u);
    EXPECT_EQ(h.provider->dataChannel.replayedUnitsDropped, 3);

    // Our own unit sent back at us opens under the shared key, but is dropped
    // and does not count as a sign of life.
    h.advance(3.0);
    const Bytes reflected = h.udp()->writes.back();
    h.udp()->deliver({reflected});
    h.run();
    EXPECT_EQ(h.provider->dataChannel.reflectedUnitsDropped, 1);
    EXPECT_EQ(h.provider->keepalive.lastDataFrameReceivedAt, before);
    EXPECT_NE(h.provider->udpDiagnostics().find(" replayedUnits=3 reflectedUnits=1"), std::string::npos);

    // Units that do not open change nothing but the last error; sealed ahead
    // of the units above, so that the replay window does not drop them first.
    h.serverSeq = 6000;
    const int64_t received = h.provider->dataChannel.udpDatagramsReceived;
    Bytes tampered = h.serverUnit(dataFrame({0x45, 0x00}, kServerData));
    tampered.back() ^= 0x01;
    Bytes otherNonce = h.serverUnit({kServerPong});
    otherNonce[5] ^= 0x80;
    h.udp()->deliver({Bytes(27, 0x11), tampered, otherNonce, Bytes{}, h.serverUnit({})});
    h.run();
    EXPECT_TRUE(h.logged("VantuPacketTunnel: decrypt failed for 27 bytes: packet too short"));
    EXPECT_TRUE(h.logged("decrypt failed for " + std::to_string(tampered.size()) + " bytes: "));
    EXPECT_FALSE(h.provider->dataChannel.lastDecryptError.empty());
    EXPECT_NE(h.provider->dataChannel.lastDecryptError, "packet too short");
    // Garbage and an empty frame are no sign of life.
    EXPECT_EQ(h.provider->keepalive.lastDataFrameReceivedAt, before);
    EXPECT_EQ(h.sim.packetFlow.written.size(), 2u);
    // The empty datagram is not counted; the four others are.
    EXPECT_EQ(h.provider->dataChannel.udpDatagramsReceived, received + 4);
    EXPECT_TRUE(h.sim.host.cancellations.empty());

    // A new session starts a new window.
    h.provider->session = makeSession();
    h.udp()->deliver({newest});
    h.run();
    EXPECT_EQ(h.sim.packetFlow.written.size(), 3u);
}

TEST(Frames, UDPSendFailuresBeforeAndAfterTheHandshake) {
    // Before the handshake the first failed write ends it.
    ProviderHarness h;
    h.sim.host.onNewUDPSession = [](sim::SimUDPSession& s) { s.failWrites = "no route to host"; };
    h.startChannel();
    h.run();
    ASSERT_EQ(h.completions.size(), 1u);
    EXPECT_EQ(h.completions[0], TunnelError::fromVantu("UDP send failed: no route to host"));
    EXPECT_EQ(h.provider->dataChannel.udpSendFailures, 1);
    EXPECT_EQ(h.provider->dataChannel.lastUDPSendError, "no route to host");
    EXPECT_TRUE(h.recorded("UDP send failed: no route to host"));
    EXPECT_TRUE(h.recorded("data channel failed: UDP send failed: no route to host"));
    EXPECT_EQ(h.provider->dataChannel.udpSession, nullptr);
    EXPECT_TRUE(h.udp()->cancelled);
    EXPECT_TRUE(h.sim.host.cancellations.empty());

    // After it, the third failure since the start fails the channel.
    ProviderHarness v;
    v.verifyChannel();
    v.udp()->failWrites = "buffer full";
    const Bytes packet = ipv4Packet(40, 6, kDestination, 80);
    for (int64_t failures = 1; failures <= 3; ++failures) {
        EXPECT_TRUE(v.sim.host.cancellations.empty());
        EXPECT_NE(v.provider->dataChannel.udpSession, nullptr);
        v.provider->sendFrame(kClientData, packet);
        v.run();
        EXPECT_EQ(v.provider->dataChannel.udpSendFailures, failures);
    }
    EXPECT_EQ(v.provider->lifecycle.lastTunnelFailure, "UDP send failed: buffer full");
    EXPECT_EQ(v.sim.host.cancellations, std::vector<TunnelError>{TunnelError::fromVantu("UDP send failed: buffer full")});
    EXPECT_EQ(v.provider->dataChannel.udpSession, nullptr);
    EXPECT_EQ(v.provider->keepalive.source, nullptr);
}

TEST(Frames, BatchesLeaveAndArriveInOneCallWithPerPacketAccounting) {
    ProviderHarness h;
    h.verifyChannel();
    h.provider->readPackets();
    h.run();
    const size_t writesBefore = h.udp()->writes.size();
    const size_t batchesBefore = h.udp()->batchWrites;
    const int64_t completionsBefore = h.provider->dataChannel.udpSendCompletions;

    // A read batch: every packet sealed in order, one platform call.
    std::vector<Bytes> packets;
    for (uint8_t i = 0; i < 5; ++i) packets.push_back(ipv4Packet(40 + i, 17, kDestination, 443, i));
    h.sim.packetFlow.inject(packets);
    h.run();
    ASSERT_EQ(h.udp()->writes.size(), writesBefore + 5);
    EXPECT_EQ(h.udp()->batchWrites, batchesBefore + 1);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(h.session->decrypt(h.udp()->writes[writesBefore + i]), dataFrame(packets[i])) << i;
    }
    EXPECT_EQ(h.provider->dataChannel.udpSendCompletions, completionsBefore + 5);
    EXPECT_EQ(h.provider->dataChannel.tunnelPacketsOut, 5);

    // A receive batch: the packets reach the system in one write, in order.
    const int writeCallsBefore = h.sim.packetFlow.writeCalls;
    std::vector<Bytes> units;
    for (const Bytes& packet : packets) units.push_back(h.serverUnit(dataFrame(packet, kServerData)));
    h.udp()->deliver(units);
    h.run();
    EXPECT_EQ(h.sim.packetFlow.written, packets);
    EXPECT_EQ(h.sim.packetFlow.writeCalls, writeCallsBefore + 1);
    EXPECT_EQ(h.sim.packetFlow.writtenProtocols, std::vector<int>(5, 2));

    // Failures in a batch count one by one: the third one fails the
    // channel, as three separate writes would.
    h.udp()->failWrites = "buffer full";
    h.sim.packetFlow.inject({packets[0], packets[1]});
    h.run();
    EXPECT_EQ(h.provider->dataChannel.udpSendFailures, 2);
    EXPECT_TRUE(h.sim.host.cancellations.empty());
    h.sim.packetFlow.inject({packets[2], packets[3]});
    h.run();
    EXPECT_EQ(h.provider->dataChannel.udpSendFailures, 3);
    EXPECT_EQ(h.sim.host.cancellations, std::vector<TunnelError>{TunnelError::fromVantu("UDP send failed: buffer full")});
}

}  // namespace
}  // namespace vantu::testing
