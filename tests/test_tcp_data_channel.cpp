// The TCP data channel in virtual time: a real loopback connection whose
// server end the test plays by hand, with the read source driven by
// makeReadable. Framing, the write buffer and the send-failure rules.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tests/loopback_test_support.h"
#include "tests/provider_test_support.h"

namespace vantu::testing {
namespace {

Bytes streamFrame(const Bytes& unit) {
    Bytes out;
    appendBE(out, static_cast<uint32_t>(unit.size()));
    out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

struct TCPHarness : ProviderHarness {
    uint16_t port = 0;
    Fd listener{loopbackSocket(port, 4)};  // the server's data port
    int peer = -1;  // the server's end
    Bytes received;  // everything the client wrote, not yet parsed

    explicit TCPHarness(std::optional<uint16_t> dataPort = std::nullopt) {
        session = makeSession("tcp", std::nullopt, {"9.9.9.9"}, dataPort.value_or(port));
    }
    ~TCPHarness() {
        if (peer >= 0) ::close(peer);
    }
    void startTCP(const std::string& host = "127.0.0.1") {
        provider->session = session;
        provider->startDataChannel(host, session,
                                   [this](std::optional<TunnelError> e) { completions.push_back(std::move(e)); });
        if (provider->dataChannel.dataFD >= 0) {
            peer = ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            ASSERT_GE(peer, 0);
        }
    }
    void verifyTCP() {
        startTCP();
        run();
        sendToClient(streamFrame(serverUnit({kServerPong})));
        ASSERT_EQ(completions.size(), 1u);
        ASSERT_FALSE(completions[0].has_value()) << completions[0]->description();
    }
    // Bytes from the server, then the readiness the sim source waits for.
    void sendToClient(const Bytes& bytes) {
        ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        if (provider->dataChannel.dataFD >= 0) sim.queue.makeReadable(provider->dataChannel.dataFD);
        run();
    }
    // The client's frames that arrived so far, opened.
    std::vector<Bytes> framesFromClient() {
        uint8_t buf[65536];
        for (ssize_t n; (n = ::recv(peer, buf, sizeof buf, 0)) > 0;) received.insert(received.end(), buf, buf + n);
        std::vector<Bytes> frames;
        size_t at = 0;
        while (received.size() - at >= 4) {
            const uint32_t length = readBE32(received.data() + at);
            if (received.size() - at < 4 + length) break;
            frames.push_back(session->decrypt(Bytes(received.begin() + at + 4, received.begin() + at + 4 + length)));
            at += 4 + length;
        }
        received.erase(received.begin(), received.begin() + at);
        return frames;
    }
};

TEST(TCPDataChannel, HandshakeAndReassembly) {
    TCPHarness h;
    h.startTCP();
    EXPECT_GE(h.provider->dataChannel.dataFD, 0);
    int noDelay = 0;
    socklen_t length = sizeof noDelay;
    ASSERT_EQ(::getsockopt(h.provider->dataChannel.dataFD, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
    EXPECT_EQ(noDelay, 1) << "small frames must not wait for the previous segment's acknowledgement";
    EXPECT_TRUE(h.logged("VantuPacketTunnel: TCP socket ready 127.0.0.1:" + std::to_string(h.port)));
    h.advance(2.0);
    // Pings at 0, 1 and 2 s: 5 plain bytes, 33 sealed, 37 on the stream.
    EXPECT_EQ(h.framesFromClient(), (std::vector<Bytes>{kPingFrame, kPingFrame, kPingFrame}));
    EXPECT_EQ(h.provider->dataChannel.tcpSentBytes, 3 * 37);
    EXPECT_EQ(h.provider->dataChannel.tcpSendAttempts, 3);

    // The pong's length prefix arrives split over two reads.
    const Bytes pong = streamFrame(h.serverUnit({kServerPong}));
    h.sendToClient(Bytes(pong.begin(), pong.begin() + 2));
    EXPECT_TRUE(h.completions.empty());
    h.sendToClient(Bytes(pong.begin() + 2, pong.end()));
    ASSERT_EQ(h.completions.size(), 1u);
    EXPECT_FALSE(h.completions[0].has_value());
    EXPECT_NE(h.provider->keepalive.source, nullptr);
    h.advance(5.0);
    EXPECT_TRUE(h.framesFromClient().empty()) << "handshake pings stop with the pong";

    // Several frames in one read are all delivered, in order; a data frame
    // for a 60-byte packet is 93 bytes on the stream.
    const Bytes a = ipv4Packet(60, 17, {192, 0, 2, 9}, 53, 0xaa), b = ipv4Packet(40, 6, {192, 0, 2, 9}, 80, 0xbb);
    Bytes both = streamFrame(h.serverUnit(dataFrame(a, kServerData)));
    const Bytes second = streamFrame(h.serverUnit(dataFrame(b, kServerData)));
    EXPECT_EQ(both.size(), 93u);
    both.insert(both.end(), second.begin(), second.end());
    h.sendToClient(both);
    EXPECT_EQ(h.sim.packetFlow.written, (std::vector<Bytes>{a, b}));
    EXPECT_EQ(h.provider->dataChannel.tcpFramesReceived, 3);
    EXPECT_EQ(h.provider->dataChannel.tcpReceivedBytes, static_cast<int64_t>(pong.size() + both.size()));
    EXPECT_TRUE(h.provider->dataChannel.tcpReadBuffer.empty());

    h.provider->sendFrame(kClientData, a);
    EXPECT_EQ(h.framesFromClient(), std::vector<Bytes>{dataFrame(a)});

    // Inside a packet batch the frames wait for its end and then leave
    // together, in order.
    {
        const PacketBatchScope batch(*h.provider);
        h.provider->sendFrame(kClientData, a);
        h.provider->sendFrame(kClientData, b);
        EXPECT_TRUE(h.framesFromClient().empty());
        EXPECT_EQ(h.provider->dataChannel.tcpWriteBuffer.size(), 2 * 4 + dataFrame(a).size() + dataFrame(b).size() + 2 * 28);
    }
    EXPECT_EQ(h.framesFromClient(), (std::vector<Bytes>{dataFrame(a), dataFrame(b)}));
    EXPECT_TRUE(h.provider->dataChannel.tcpWriteBuffer.empty());
}

TEST(TCPDataChannel, FrameSizeBound) {
    // Exactly 1 MiB is a valid length: the channel waits for the rest.
    TCPHarness h;
    h.startTCP();
    h.sendToClient(Bytes{0x00, 0x10, 0x00, 0x00, 0x01, 0x02});
    EXPECT_TRUE(h.completions.empty());
    EXPECT_EQ(h.provider->dataChannel.tcpReadBuffer.size(), 6u);

    for (const uint32_t length : {1048577u, 0u}) {
        SCOPED_TRACE(length);
        TCPHarness bad;
        bad.startTCP();
        Bytes prefix;
        appendBE(prefix, length);
        bad.sendToClient(prefix);
        const std::string text = "TCP invalid frame size " + std::to_string(length);
        ASSERT_EQ(bad.completions.size(), 1u);
        EXPECT_EQ(bad.completions[0], TunnelError::fromVantu(text));
        EXPECT_TRUE(bad.logged("VantuPacketTunnel: " + text));
        EXPECT_EQ(bad.provider->dataChannel.dataFD, -1);
        EXPECT_TRUE(bad.sim.host.cancellations.empty());
    }

    // After the handshake a broken framing ends the tunnel instead of leaving
    // it without a channel.
    TCPHarness v;
    v.verifyTCP();
    v.sendToClient(Bytes{0xff, 0xff, 0xff, 0xff});
    EXPECT_EQ(v.sim.host.cancellations, std::vector<TunnelError>{TunnelError::fromVantu("TCP invalid frame size 4294967295")});
    EXPECT_EQ(v.provider->dataChannel.dataFD, -1);
}

TEST(TCPDataChannel, WriteBufferBoundAndCompaction) {
    ProviderHarness h;
    h.provider->session = makeSession("tcp");  // no socket: a flush discards
    auto& p = *h.provider;
    const int64_t max = DataChannelState::maxTCPWriteBufferBytes;
    ASSERT_EQ(max, 8388608);

    p.dataChannel.tcpWriteBuffer.assign(static_cast<size_t>(max), 0);
    EXPECT_EQ(failureOf([&] { p.enqueueTCPWrite(Bytes(1)); }), "TCP send buffer overflow");
    EXPECT_EQ(p.dataChannel.tcpWriteBuffer.size(), static_cast<size_t>(max));  // nothing appended
    // Already-sent bytes do not count as pending.
    p.dataChannel.tcpWriteBuffer.assign(static_cast<size_t>(max) + 8, 0);
    p.dataChannel.tcpWriteOffset = 16;
    EXPECT_NO_THROW(p.enqueueTCPWrite(Bytes(8)));
    EXPECT_TRUE(p.dataChannel.tcpWriteBuffer.empty());  // taken, then discarded by the socketless flush

    struct Compaction {
        int64_t offset;
        size_t length;
        int64_t offsetAfter;
        size_t lengthAfter;
    };
    const Compaction cases[] = {
        {70000, 100000, 0, 30000},    // large sent prefix, more than half: cut out
        {70000, 200000, 70000, 200000},  // less than half: left
        {65536, 100000, 65536, 100000},  // not above the threshold
        {100000, 100000, 0, 0},          // all sent: emptied
        {0, 100, 0, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        p.dataChannel.tcpWriteBuffer.resize(c.length);
        for (size_t i = 0; i < c.length; ++i) p.dataChannel.tcpWriteBuffer[i] = static_cast<uint8_t>(i);
        p.dataChannel.tcpWriteOffset = c.offset;
        p.compactTCPWriteBufferIfNeeded();
        EXPECT_EQ(p.dataChannel.tcpWriteOffset, c.offsetAfter);
        ASSERT_EQ(p.dataChannel.tcpWriteBuffer.size(), c.lengthAfter);
        // The unsent bytes are the same ones, in order.
        if (c.lengthAfter > 0) {
            EXPECT_EQ(p.dataChannel.tcpWriteBuffer[static_cast<size_t>(c.offsetAfter)], static_cast<uint8_t>(c.offset));
        }
    }
}

TEST(TCPDataChannel, WouldBlockLeavesExactlyOneRetry) {
    TCPHarness h;
    h.verifyTCP();
    h.framesFromClient();
    // Fill the kernel's buffers: the peer does not read.
    const Bytes packet = ipv4Packet(1400, 17, {192, 0, 2, 9}, 9, 0x5c);
    size_t sent = 0;
    while (!h.provider->dataChannel.tcpWriteRetryScheduled && sent < 20000) {
        h.provider->sendFrame(kClientData, packet);
        ++sent;
    }
    ASSERT_TRUE(h.provider->dataChannel.tcpWriteRetryScheduled);
    const size_t pending = h.sim.queue.pendingCount();
    for (int i = 0; i < 50; ++i) h.provider->sendFrame(kClientData, packet);
    sent += 50;
    EXPECT_EQ(h.sim.queue.pendingCount(), pending);
    EXPECT_GT(h.provider->dataChannel.tcpWriteBuffer.size(), static_cast<size_t>(h.provider->dataChannel.tcpWriteOffset));

    // The reader catches up: the retries drain everything, in order, nothing lost.
    size_t frames = 0;
    for (int round = 0; round < 2000 && frames < sent; ++round) {
        for (const Bytes& f : h.framesFromClient()) {
            EXPECT_EQ(f, dataFrame(packet));
            ++frames;
        }
        h.advance(0.01);
    }
    EXPECT_EQ(frames, sent);
    EXPECT_FALSE(h.provider->dataChannel.tcpWriteRetryScheduled);
    EXPECT_TRUE(h.provider->dataChannel.tcpWriteBuffer.empty());
    EXPECT_EQ(h.provider->dataChannel.tcpSendFailures, 0);
    EXPECT_EQ(h.provider->dataChannel.tcpSendBufferOverflows, 0);
}

TEST(TCPDataChannel, StartFailures) {
    TCPHarness name;
    name.startTCP("localhost");
    ASSERT_EQ(name.completions.size(), 1u);
    EXPECT_EQ(name.completions[0], TunnelError::fromVantu("invalid data host localhost"));

    TCPHarness refused(1);  // nothing listens on loopback port 1 here
    refused.startTCP();
    ASSERT_EQ(refused.completions.size(), 1u);
    EXPECT_EQ(refused.completions[0], TunnelError::fromVantu("TCP connect failed: Connection refused"));
    EXPECT_EQ(refused.provider->dataChannel.dataFD, -1);

    // No pong: eight pings at 0..7 s, then the timeout with the diagnostics.
    TCPHarness silent;
    silent.startTCP();
    silent.advance(8.0);
    ASSERT_EQ(silent.completions.size(), 1u);
    EXPECT_EQ(silent.completions[0]->description(),
              "Vantu encrypted TCP handshake timed out; sendAttempts=8 sendFailures=0 sentBytes=296 receivedBytes=0 "
              "framesReceived=0 lastSentPlain=0170696e67");
    EXPECT_TRUE(silent.logged("VantuPacketTunnel: handshake timeout waiting for encrypted pong"));
    EXPECT_EQ(silent.provider->dataChannel.dataFD, -1);
}

TEST(TCPDataChannel, LossAfterTheHandshakeCancelsTheTunnel) {
    // The peer hangs up.
    TCPHarness h;
    h.provider->activeConfig = VantuConfig{};
    h.verifyTCP();
    ::shutdown(h.peer, SHUT_WR);
    h.sim.queue.makeReadable(h.provider->dataChannel.dataFD);
    h.run();
    EXPECT_EQ(h.provider->dataChannel.lastTCPReceiveError, "peer closed data channel");
    EXPECT_TRUE(h.logged("VantuPacketTunnel: TCP peer closed data channel"));
    EXPECT_EQ(h.sim.host.cancellations, std::vector<TunnelError>{TunnelError::fromVantu("TCP peer closed data channel")});
    EXPECT_EQ(h.provider->recovery.attempts, 0);  // no recovery for the stream transport
    EXPECT_EQ(h.provider->dataChannel.dataFD, -1);

    // Sends that fail: the third one fails the channel.
    TCPHarness s;
    s.verifyTCP();
    ::shutdown(s.provider->dataChannel.dataFD, SHUT_WR);
    for (int64_t failures = 1; failures <= 3; ++failures) {
        EXPECT_TRUE(s.sim.host.cancellations.empty());
        s.provider->sendPingFrame();
        EXPECT_EQ(s.provider->dataChannel.tcpSendFailures, failures);
    }
    EXPECT_EQ(s.provider->dataChannel.lastTCPSendError, "Broken pipe");
    EXPECT_TRUE(s.recorded("TCP send failed: Broken pipe"));
    EXPECT_EQ(s.sim.host.cancellations, std::vector<TunnelError>{TunnelError::fromVantu("TCP send failed: Broken pipe")});
}

}  // namespace
}  // namespace vantu::testing
