// The direct core's UDP and TCP relays on the simulated platform, in
// virtual time: flow tables, readiness bounds, idle closes, the failure
// window, and the TCP conversation with the application as seen on the wire.

#include "directcore/codec/DirectCodec.h"
#include "tests/dns_test_support.h"
#include "tests/provider_test_support.h"

namespace vantu::testing {
namespace {

const std::array<uint8_t, 4> kApp{10, 7, 0, 2}, kRemote{203, 0, 113, 5};

struct DirectHarness : ProviderHarness {
    DirectHarness() {
        session = makeSession("udp", std::nullopt);
        provider->session = session;
        provider->directCore.udpEnabled = true;
        provider->directCore.tcpEnabled = true;
        provider->learnedRoutes.routes = {"203.0.113.0/24"};
    }
    bool send(const Bytes& packet) {
        const bool taken = provider->handleDirectCorePacket(packet);
        run();
        return taken;
    }
    std::vector<Bytes>& written() { return sim.packetFlow.written; }
    std::vector<DirectTCPCore::Segment> segments() {
        std::vector<DirectTCPCore::Segment> out;
        for (const Bytes& p : written())
            if (auto s = DirectTCPCore::segment(p)) out.push_back(*s);
        return out;
    }
    DirectTCPCore::Segment last() { return segments().back(); }
    // The flags, sequence and acknowledgement of the last segment to the application.
    std::tuple<int, uint32_t, uint32_t> lastHeader() {
        const auto s = last();
        return {s.flags, s.sequence, s.acknowledgement};
    }
    sim::SimTCPConnection& connection() { return *sim.host.tcpConnections.back(); }
    // The outside connection comes up, and the readiness poll notices.
    void connectOutside() {
        connection().setState(TCPConnectionState::connected);
        advance(0.05);
    }
};

Bytes datagramFrom(uint16_t localPort, const Bytes& payload = {'q'}) {
    return udpPacket(kApp, localPort, kRemote, 443, payload);
}

// ------------------------------------------------------------ UDP

TEST(DirectUDP, OneSessionPerFlowAndRepliesInOneWrite) {
    DirectHarness h;
    EXPECT_TRUE(h.send(datagramFrom(999, {'a'})));
    EXPECT_TRUE(h.send(datagramFrom(999, {'b'})));
    EXPECT_TRUE(h.send(datagramFrom(1000, {'c'})));
    ASSERT_EQ(h.sim.host.udpSessions.size(), 2u);
    auto& first = *h.sim.host.udpSessions[0];
    EXPECT_EQ(first.host, "203.0.113.5");
    EXPECT_EQ(first.port, "443");
    EXPECT_EQ(first.maxDatagrams, 32u);
    EXPECT_EQ(first.writes, (std::vector<Bytes>{{'a'}, {'b'}}));
    EXPECT_EQ(h.provider->directCore.udpSessionsOpened, 2);
    EXPECT_EQ(h.provider->directCore.udpPayloadsSent, 3);
    EXPECT_EQ(eventMessages(*h.provider),
              (std::vector<std::string>{"direct core UDP session opened 10.7.0.2:999->203.0.113.5:443",
                                        "direct core UDP session opened 10.7.0.2:1000->203.0.113.5:443"}));

    first.deliver({{1}, {2, 2}, {3}, {4}});
    h.run();
    ASSERT_EQ(h.written().size(), 4u);
    EXPECT_EQ(h.provider->directCore.udpResponsesWritten, 4);
    const auto reply = DirectUDPCore::datagram(h.written()[1]);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->key, (DirectUDPKey{0xCB007105, 443, 0x0A070002, 999})) << "from the remote end to the app";
    EXPECT_EQ(reply->payload, (Bytes{2, 2}));

    // A read error ends the flow; a later datagram opens a fresh one, and the
    // old session's late error changes nothing.
    first.deliverError("refused");
    h.run();
    EXPECT_EQ(h.provider->directCore.udpReadFailures, 1);
    EXPECT_TRUE(first.cancelled);
    EXPECT_TRUE(h.recorded("direct core UDP read failed 203.0.113.5:443: refused"));
    h.send(datagramFrom(999));
    EXPECT_EQ(h.sim.host.udpSessions.size(), 3u);
    first.cancelled = false;
    first.deliverError("late");
    h.run();
    EXPECT_EQ(h.provider->directCore.udpReadFailures, 1);
}

TEST(DirectUDP, ReadinessBoundAndFailures) {
    DirectHarness h;
    h.sim.host.initialUDPState = UDPSessionState::preparing;
    h.send(datagramFrom(999));
    h.advance(1.99);
    auto& waiting = *h.sim.host.udpSessions[0];
    EXPECT_FALSE(waiting.cancelled);
    h.advance(0.01);
    EXPECT_TRUE(waiting.cancelled);
    EXPECT_EQ(h.provider->directCore.udpTimeouts, 1);
    EXPECT_TRUE(h.recorded("direct core UDP session timeout 203.0.113.5:443"));
    EXPECT_TRUE(h.provider->directCore.udpSessions.empty());

    // Ready in time: the waiting datagram goes out once.
    h.send(datagramFrom(999, {'x'}));
    h.advance(0.5);
    h.sim.host.udpSessions[1]->setState(UDPSessionState::ready);
    h.advance(0.05);
    EXPECT_EQ(h.sim.host.udpSessions[1]->writes, std::vector<Bytes>{{'x'}});

    h.sim.host.initialUDPState = UDPSessionState::failed;
    h.send(datagramFrom(2000));
    EXPECT_TRUE(h.recorded("direct core UDP session failed 203.0.113.5:443"));
    h.sim.host.initialUDPState = UDPSessionState::ready;
    h.sim.host.onNewUDPSession = [](sim::SimUDPSession& s) { s.failWrites = "no route"; };
    h.send(datagramFrom(3000));
    EXPECT_EQ(h.provider->directCore.udpWriteFailures, 1);
    EXPECT_TRUE(h.recorded("direct core UDP write failed 203.0.113.5:443: no route"));
    EXPECT_EQ(h.provider->directCore.udpSessions.size(), 1u);
}

TEST(DirectUDP, QuietFlowsCloseBetweenThirtyAndSixtySeconds) {
    DirectHarness h;
    h.send(datagramFrom(999));
    for (int i = 0; i < 5; ++i) {  // traffic every 20 s keeps it open
        h.advance(20);
        h.send(datagramFrom(999));
    }
    EXPECT_EQ(h.provider->directCore.udpIdleCloses, 0);
    // Last activity at 100 s; checks run at 30, 60, 90, 120, 150 s.
    h.at(149.9);
    EXPECT_EQ(h.provider->directCore.udpSessions.size(), 1u);
    h.at(150);
    EXPECT_EQ(h.provider->directCore.udpIdleCloses, 1);
    EXPECT_TRUE(h.sim.host.udpSessions[0]->cancelled);
    EXPECT_FALSE(h.recorded("idle closed")) << "debug log only";
}

TEST(DirectUDP, BeyondTheFlowLimitTheFlowQuietLongestMakesRoom) {
    DirectHarness h;
    h.provider->directCore.maxUDPFlows = 3;
    const auto event = "direct core UDP flow limit 3 reached: the flows quiet longest are closed";
    const auto events = [&] {
        const auto all = eventMessages(*h.provider);
        return std::count(all.begin(), all.end(), event);
    };
    for (uint16_t port : {1, 2, 3, 1}) {
        h.send(datagramFrom(port));
        h.advance(1);
    }
    h.sim.host.udpSessions[1]->deliver({{7}});  // flow 2 active by a reply
    h.run();
    // Quiet longest now: 3, then 1, then 2.
    for (uint16_t port : {4, 5}) h.send(datagramFrom(port));
    std::vector<bool> cancelled;
    for (const auto& s : h.sim.host.udpSessions) cancelled.push_back(s->cancelled);
    EXPECT_EQ(cancelled, (std::vector<bool>{true, false, true, false, false}));
    EXPECT_EQ(h.provider->directCore.udpSessions.size(), 3u);
    EXPECT_EQ(h.provider->directCore.udpEvictions, 2);
    EXPECT_EQ(events(), 1) << "one event per episode";
    EXPECT_NE(h.report().find(" idleClosed=0 evicted=2\n"), std::string::npos);

    // Back at two flows the episode is over; the next full table is another.
    h.sim.host.udpSessions[3]->deliverError("refused");
    h.run();
    for (uint16_t port : {6, 7}) h.send(datagramFrom(port));
    EXPECT_TRUE(h.sim.host.udpSessions[1]->cancelled);
    EXPECT_EQ(h.provider->directCore.udpEvictions, 3);
    EXPECT_EQ(events(), 2);
}

// ------------------------------------------------------------ TCP

Bytes segmentFrom(uint16_t localPort, uint8_t flags, uint32_t sequence, uint32_t acknowledgement = 0,
                  const Bytes& payload = {}, uint16_t window = 65535, std::optional<uint16_t> mss = std::nullopt) {
    const size_t options = mss ? 4 : 0;
    Bytes p = udpPacket(kApp, localPort, kRemote, 443, Bytes(12 + options + payload.size()));
    p[9] = 6;
    const auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) p[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    put32(24, sequence);
    put32(28, acknowledgement);
    p[32] = static_cast<uint8_t>((20 + options) / 4 << 4);
    p[33] = flags;
    p[34] = static_cast<uint8_t>(window >> 8);
    p[35] = static_cast<uint8_t>(window);
    if (mss) {
        p[40] = 2, p[41] = 4, p[42] = static_cast<uint8_t>(*mss >> 8), p[43] = static_cast<uint8_t>(*mss);
    }
    std::copy(payload.begin(), payload.end(), p.begin() + static_cast<long>(40 + options));
    return p;
}

constexpr uint8_t SYN = DirectTCPFlags::syn, ACK = DirectTCPFlags::ack, FIN = DirectTCPFlags::fin,
                  RST = DirectTCPFlags::rst, PSH = DirectTCPFlags::psh;
using Header = std::tuple<int, uint32_t, uint32_t>;

// Opens a relayed connection from local port 999 with ISN 100 (or others);
// returns the
// provider's initial sequence number + 1 (the next byte towards the
// app). With `connected`, the outside connection then comes up.
uint32_t open(DirectHarness& h, bool connected = false, uint16_t window = 65535, uint16_t port = 999,
              uint32_t isn = 100) {
    h.send(segmentFrom(port, SYN, isn, 0, {}, window, 1460));
    const auto synAck = h.last();
    h.send(segmentFrom(port, ACK, isn + 1, synAck.sequence + 1, {}, window));
    if (connected) h.connectOutside();
    return synAck.sequence + 1;
}

TEST(DirectTCP, HandshakeDataBeforeConnectAndOrder) {
    DirectHarness h;
    h.session = std::make_shared<VantuSession>(0x01020304u, Bytes(16, 0x30), "aes-128-gcm", "10.7.0.2", 1400, 5555,
                                               "udp", std::vector<std::string>{}, std::nullopt);
    h.provider->session = h.session;
    h.send(segmentFrom(999, SYN, 100, 0, {}, 65535, 1460));
    h.send(segmentFrom(999, SYN, 100, 0, {}, 65535, 1460));
    ASSERT_EQ(h.segments().size(), 1u) << "a repeated SYN is ignored";
    const auto synAck = h.segments()[0];
    EXPECT_EQ(h.lastHeader(), (Header{SYN | ACK, synAck.sequence, 101}));
    EXPECT_EQ(synAck.maxSegmentSize, 1360);
    EXPECT_NE(synAck.sequence, 0u);
    EXPECT_EQ(h.provider->directCore.tcpSessionsOpened, 1);
    EXPECT_EQ(eventMessages(*h.provider),
              std::vector<std::string>{"direct core TCP session opened 10.7.0.2:999->203.0.113.5:443 mss=1360"});
    ASSERT_EQ(h.sim.host.tcpConnections.size(), 1u);
    EXPECT_EQ(h.connection().host, "203.0.113.5");

    // Data before the outside connection is up: acknowledged at once, held.
    const uint32_t s0 = synAck.sequence + 1;
    h.send(segmentFrom(999, ACK | PSH, 101, s0, {'a', 'b'}));
    h.send(segmentFrom(999, ACK | PSH, 103, s0, {'c'}));
    h.send(segmentFrom(999, ACK | PSH, 200, s0, {'x'}));  // out of order: dropped
    std::vector<uint32_t> acks;
    for (const auto& s : h.segments()) acks.push_back(s.acknowledgement);
    EXPECT_EQ(acks, (std::vector<uint32_t>{101, 103, 104, 104})) << "the last repeats what is expected next";
    EXPECT_TRUE(h.connection().writes.empty());
    // Up before the readiness poll notices: data arriving meanwhile waits
    // behind what is held, so the remote end gets the bytes in order.
    h.connection().setState(TCPConnectionState::connected);
    h.send(segmentFrom(999, ACK | PSH, 104, s0, {'d'}));
    h.advance(0.05);
    EXPECT_EQ(h.connection().writes, (std::vector<Bytes>{{'a', 'b'}, {'c'}, {'d'}}));
    EXPECT_EQ(h.provider->directCore.tcpPayloadsSent, 3);

    // 4000 bytes from outside, in segments of at most the payload size, back to back.
    Bytes download(4000);
    for (size_t i = 0; i < download.size(); ++i) download[i] = static_cast<uint8_t>(i);
    h.connection().deliver(download);
    h.run();
    Bytes received;
    uint32_t expected = s0;
    for (const auto& s : h.segments()) {
        if (s.payload.empty()) continue;
        EXPECT_LE(s.payload.size(), 1360u);
        EXPECT_EQ(s.sequence, expected);
        expected += static_cast<uint32_t>(s.payload.size());
        received.insert(received.end(), s.payload.begin(), s.payload.end());
    }
    EXPECT_EQ(received, download);

    // The remote end closes: exactly one FIN-ACK; the connection is gone
    // once the application acknowledged everything and closed too.
    const size_t before = h.written().size();
    h.connection().deliver({});
    h.run();
    ASSERT_EQ(h.written().size(), before + 1);
    EXPECT_EQ(h.lastHeader(), (Header{FIN | ACK, expected, 105}));
    h.send(segmentFrom(999, ACK | FIN, 105, expected + 1));
    EXPECT_EQ(h.lastHeader(), (Header{ACK, expected + 1, 106}));
    EXPECT_TRUE(h.provider->directCore.tcpSessions.empty());
}

TEST(DirectTCP, FinResetsAndUnknownFlows) {
    DirectHarness h;
    const uint32_t s0 = open(h, true);
    // The application sends a request and half-closes: its FIN is
    // acknowledged, the outside stream closed for writing after the request,
    // and the reply still comes back before our FIN.
    h.send(segmentFrom(999, ACK | PSH | FIN, 101, s0, {'r', 'e', 'q'}));
    EXPECT_EQ(h.lastHeader(), (Header{ACK, s0, 105}));
    EXPECT_EQ(h.connection().writes, (std::vector<Bytes>{{'r', 'e', 'q'}}));
    EXPECT_TRUE(h.connection().writeClosed);
    EXPECT_FALSE(h.connection().cancelled);
    h.send(segmentFrom(999, ACK | FIN, 104, s0));
    EXPECT_EQ(h.last().flags, ACK) << "a repeated FIN is acknowledged again";
    h.connection().deliver({'r', 'e', 'p', 'l', 'y'});
    h.run();
    EXPECT_EQ(h.last().payload, (Bytes{'r', 'e', 'p', 'l', 'y'}));
    h.connection().deliver({});
    h.run();
    EXPECT_EQ(h.lastHeader(), (Header{FIN | ACK, s0 + 5, 105}));
    EXPECT_FALSE(h.connection().cancelled) << "until the application acknowledged our FIN";
    h.send(segmentFrom(999, ACK, 105, s0 + 6));
    EXPECT_TRUE(h.connection().cancelled);
    EXPECT_TRUE(h.provider->directCore.tcpSessions.empty());

    // Unknown flows: a bare ACK gets nothing; anything else a reset the
    // application's stack accepts (its acknowledgement as our sequence).
    const size_t before = h.written().size();
    h.send(segmentFrom(999, ACK, 105, s0 + 6));
    EXPECT_EQ(h.written().size(), before);
    h.send(segmentFrom(999, ACK | PSH, 105, s0 + 6, {'l', 'a', 't', 'e'}));
    EXPECT_EQ(h.lastHeader(), (Header{RST | ACK, s0 + 6, 109}));
    h.send(segmentFrom(1234, FIN, 7));
    EXPECT_EQ(h.lastHeader(), (Header{RST | ACK, 0, 7})) << "nothing acknowledged: sequence 0";

    // A reset from the application removes the flow silently.
    const uint32_t s1 = open(h);
    const size_t beforeReset = h.written().size();
    h.send(segmentFrom(999, RST, 101, s1));
    EXPECT_EQ(h.written().size(), beforeReset);
    EXPECT_TRUE(h.provider->directCore.tcpSessions.empty());

    // The outside connection breaks after some data: the application gets a
    // reset right after that data, never the FIN of a stream that ended.
    const uint32_t s2 = open(h, true);
    h.connection().deliver({'d', 'a', 't', 'a'});
    h.run();
    const size_t beforeBreak = h.written().size();
    h.connection().deliverError("connection reset by peer");
    h.run();
    ASSERT_EQ(h.written().size(), beforeBreak + 1);
    EXPECT_EQ(h.lastHeader(), (Header{RST | ACK, s2 + 4, 101}));
    EXPECT_EQ(h.provider->directCore.tcpReadFailures, 1);
    EXPECT_TRUE(h.provider->directCore.tcpSessions.empty());

    // Sequence numbers wrap.
    h.send(segmentFrom(2000, SYN, 0xFFFFFFFFu));
    EXPECT_EQ(h.last().acknowledgement, 0u);
}

// A FIN counts only right after every byte before it; sequence numbers
// wrap modulo 2^32.
TEST(DirectTCP, AFinIsTakenOnlyInOrder) {
    struct Case {
        const char* name;
        uint32_t isn;
        uint32_t offset;  // of the segment's first byte, after the ISN + 1
        size_t payload;
        uint32_t acknowledged;  // expected, after the ISN + 1
        bool closed;
    };
    const Case cases[] = {
        {"in order, with data", 100, 0, 3, 4, true},
        {"in order, alone", 100, 0, 0, 1, true},
        {"beyond a gap", 100, 1000, 0, 0, false},
        {"with data beyond a gap", 100, 50, 10, 0, false},
        {"at 0xFFFFFFFF", 0xFFFFFFFEu, 0, 0, 1, true},
        {"with data across the wrap", 0xFFFFFFF0u, 0, 20, 21, true},
        {"beyond a gap across the wrap", 0xFFFFFFF0u, 30, 0, 0, false},
    };
    DirectHarness h;
    uint16_t port = 2000;
    for (const Case& c : cases) {
        const uint32_t s0 = open(h, true, 65535, ++port, c.isn);
        const uint32_t next = c.isn + 1;
        h.send(segmentFrom(port, ACK | FIN, next + c.offset, s0, Bytes(c.payload, 0x61)));
        EXPECT_EQ(h.last().acknowledgement, next + c.acknowledged) << c.name;
        EXPECT_EQ(h.connection().writeClosed, c.closed) << c.name;
        size_t written = 0;
        for (const Bytes& w : h.connection().writes) written += w.size();
        EXPECT_EQ(written, c.offset == 0 ? c.payload : 0) << c.name;
    }
}

TEST(DirectTCP, OutsideReadsWaitForTheApplicationsWindow) {
    DirectHarness h;
    const uint32_t s0 = open(h, true, 3000);
    h.connection().deliver(Bytes(10000, 0x42));
    h.run();
    const auto sentBytes = [&] {
        size_t n = 0;
        for (const auto& s : h.segments()) n += s.payload.size();
        return n;
    };
    EXPECT_EQ(sentBytes(), 3000u) << "no more than the window holds";
    // The application takes 2000 bytes and keeps a 3000-byte window.
    h.send(segmentFrom(999, ACK, 101, s0 + 2000, {}, 3000));
    EXPECT_EQ(sentBytes(), 5000u);
    // A zero window stops reading; the update that opens it resumes.
    h.send(segmentFrom(999, ACK, 101, s0 + 5000, {}, 0));
    EXPECT_EQ(sentBytes(), 5000u);
    h.send(segmentFrom(999, ACK, 101, s0 + 5000, {}, 65535));
    EXPECT_EQ(sentBytes(), 10000u);
    // A stale acknowledgement does not move anything back.
    h.send(segmentFrom(999, ACK, 101, s0 + 1000, {}, 65535));
    EXPECT_EQ(h.provider->directCore.tcpSessions.begin()->second->clientAcknowledged, s0 + 5000);
}

TEST(DirectTCP, ASlowRemoteEndClosesTheWindowTowardsTheApplication) {
    DirectHarness h;
    const uint32_t s0 = open(h, true);
    h.connection().holdWriteCompletions = true;
    const Bytes chunk(30000, 0x61);
    h.send(segmentFrom(999, ACK | PSH, 101, s0, chunk));
    EXPECT_EQ(h.last().window, 65535 - 30000);
    h.send(segmentFrom(999, ACK | PSH, 30101, s0, chunk));
    EXPECT_EQ(h.last().window, 65535 - 60000);
    EXPECT_EQ(h.connection().writes.size(), 2u);

    // Half the window free again: one update tells the application.
    const size_t before = h.written().size();
    h.connection().completeHeldWrites(1);
    h.run();
    ASSERT_EQ(h.written().size(), before + 1);
    EXPECT_EQ(h.lastHeader(), (Header{ACK, s0, 60101}));
    EXPECT_EQ(h.last().window, 65535 - 30000);
    h.connection().completeHeldWrites(1);
    h.run();
    EXPECT_EQ(h.written().size(), before + 1) << "the window was open enough already";
    h.send(segmentFrom(999, ACK | PSH, 60101, s0, {'z'}));
    EXPECT_EQ(h.last().window, 65535 - 1);
}

// Payload beyond the window last advertised is dropped, not acknowledged,
// even where the relay would have room for it: what fits of a segment
// across the edge is taken. A probe (a byte before what is expected next)
// is answered.
TEST(DirectTCP, PayloadBeyondTheAdvertisedWindowIsDropped) {
    DirectHarness h;
    const uint32_t s0 = open(h, true);
    h.connection().holdWriteCompletions = true;
    h.send(segmentFrom(999, ACK | PSH, 101, s0, Bytes(20000, 0x61)));
    ASSERT_EQ(h.last().window, 65535 - 20000);  // the edge is at 20101 + 45535 = 65636
    // Taken outside: the window advertised stays (updates go out only
    // from below half), and with it the edge.
    h.connection().completeHeldWrites(1);
    h.run();
    struct Step {
        uint32_t sequence;
        size_t length;
        uint32_t acknowledged;
        uint16_t window;
    };
    const Step steps[] = {
        {20101, 50000, 65636, 65535 - 45535},  // cut at the edge
        {65636, 4465, 70101, 65535 - 50000},
        {70101, 15535, 85636, 0},
        {85636, 1, 85636, 0},  // a closed window takes nothing
        {85635, 0, 85636, 0},  // a probe
    };
    for (const Step& step : steps) {
        const size_t before = h.written().size();
        h.send(segmentFrom(999, ACK, step.sequence, s0, Bytes(step.length, 0x62)));
        ASSERT_EQ(h.written().size(), before + 1) << step.sequence;
        EXPECT_EQ(h.last().acknowledgement, step.acknowledged) << step.sequence;
        EXPECT_EQ(h.last().window, step.window) << step.sequence;
    }
    EXPECT_EQ(h.provider->directCore.tcpWindowDrops, 2);
    size_t written = 0;
    for (const Bytes& w : h.connection().writes) written += w.size();
    EXPECT_EQ(written, 85636u - 101u);
}

// What the application has not acknowledged is sent again: at once after
// three duplicate acknowledgements (and the next hole on an acknowledgement
// short of what was sent), otherwise when the retransmission timer expires
// (0.2 s, doubling up to 3.2 s); after six expiries in a row the connection
// is reset. Our FIN is sent again like data.
TEST(DirectTCP, UnacknowledgedDataIsSentAgain) {
    DirectHarness h;
    const uint32_t s0 = open(h, true);
    const auto sentAt = [&](uint32_t sequence, uint8_t flags = ACK | PSH) {
        const auto all = h.segments();
        return std::count_if(all.begin(), all.end(),
                             [&](const auto& s) { return s.sequence == sequence && s.flags == flags; });
    };
    const uint32_t second = s0 + 1380;  // segments of 1380 bytes
    h.connection().deliver(Bytes(4000, 0x42));
    h.run();
    // The second segment is lost: the application acknowledges the first,
    // then once more for each later segment.
    for (int i = 0; i < 4; ++i) h.send(segmentFrom(999, ACK, 101, second));
    EXPECT_EQ(sentAt(second), 2) << "sent again after three duplicates";
    h.send(segmentFrom(999, ACK, 101, second));
    EXPECT_EQ(sentAt(second), 2) << "once";
    // The third was lost too: the acknowledgement stops short of it.
    h.send(segmentFrom(999, ACK, 101, second + 1380));
    EXPECT_EQ(sentAt(second + 1380), 2);
    h.send(segmentFrom(999, ACK, 101, s0 + 4000));

    // The last segment is lost and nothing comes back.
    h.connection().deliver(Bytes(100, 0x43));
    h.run();
    int64_t sent = 1;
    for (double interval : {0.2, 0.4, 0.8, 1.6, 3.2, 3.2}) {
        h.advance(interval - 0.001);
        EXPECT_EQ(sentAt(s0 + 4000), sent) << interval;
        h.advance(0.001);
        EXPECT_EQ(sentAt(s0 + 4000), ++sent) << interval;
    }
    h.advance(3.199);
    EXPECT_EQ(h.provider->directCore.tcpSessions.size(), 1u);
    h.advance(0.001);
    EXPECT_EQ(h.lastHeader(), (Header{RST | ACK, s0 + 4000, 101}));
    EXPECT_TRUE(h.provider->directCore.tcpSessions.empty());
    EXPECT_EQ(h.provider->directCore.tcpRetransmits, 8);
    EXPECT_EQ(h.provider->directCore.tcpRetransmitResets, 1);

    // A closed window with nothing outstanding is probed (a byte before what
    // comes next, which the application answers with its window), so that
    // a lost window update cannot stall the connection.
    const uint32_t s2 = open(h, true, 0, 1001);
    h.connection().deliver({'x'});
    h.advance(0.2);
    EXPECT_EQ(sentAt(s2 - 1, ACK), 1);
    h.advance(0.4);
    EXPECT_EQ(sentAt(s2 - 1, ACK), 2);
    h.send(segmentFrom(1001, ACK, 101, s2, {}, 100));
    EXPECT_EQ(h.last().payload, Bytes{'x'});
    h.send(segmentFrom(1001, RST, 101));

    // The remote end closes; the FIN is lost, sent again, then acknowledged
    // together with the application's own FIN: the connection is done.
    const uint32_t s1 = open(h, true, 65535, 1000);
    h.connection().deliver({});
    h.run();
    h.advance(0.2);
    EXPECT_EQ(sentAt(s1, FIN | ACK), 2);
    h.send(segmentFrom(1000, ACK | FIN, 101, s1 + 1));
    EXPECT_EQ(h.lastHeader(), (Header{ACK, s1 + 1, 102}));
    EXPECT_TRUE(h.provider->directCore.tcpSessions.empty());
    EXPECT_EQ(h.provider->directCore.tcpHeldBytes->total, 0u);
}

TEST(DirectTCP, ConnectionAndHeldByteLimits) {
    DirectHarness h;
    h.provider->directCore.maxTCPFlows = 2;
    // Before the outside connection is up, at most a window of data is held.
    const uint32_t s0 = open(h);
    uint32_t sequence = 101;
    for (int i = 0; i < 50; ++i) {
        h.send(segmentFrom(999, ACK | PSH, sequence, s0, Bytes(1400, 0x61)));
        sequence = h.last().acknowledgement;
    }
    EXPECT_EQ(sequence - 101, DirectCoreState::kDirectTCPMaxHeldBytesPerFlow);
    EXPECT_EQ(h.provider->directCore.tcpHeldBytes->total, DirectCoreState::kDirectTCPMaxHeldBytesPerFlow);

    // A third connection resets the one quiet longest.
    h.advance(1);
    h.send(segmentFrom(1000, SYN, 500));
    h.advance(1);
    h.send(segmentFrom(999, ACK, sequence, s0));  // 999 active again
    h.send(segmentFrom(1001, SYN, 700));
    EXPECT_EQ(h.provider->directCore.tcpEvictions, 1);
    EXPECT_TRUE(h.sim.host.tcpConnections[1]->cancelled);
    EXPECT_FALSE(h.sim.host.tcpConnections[0]->cancelled);
    const auto resets = h.segments();
    EXPECT_TRUE(std::any_of(resets.begin(), resets.end(), [](const auto& s) {
        return s.flags == (RST | ACK) && s.key.destinationPort == 1000 && s.acknowledgement == 501;
    }));
    EXPECT_TRUE(h.recorded("direct core TCP connection limit 2 reached: the connections quiet longest are reset"));

    // All connections together: what one holds leaves no room for another.
    h.provider->directCore.tcpHeldBytes->limit = DirectCoreState::kDirectTCPMaxHeldBytesPerFlow + 100;
    h.connectOutside();  // the newest, 1001
    h.send(segmentFrom(1001, ACK | PSH, 701, h.segments().back().sequence + 1, Bytes(200, 0x62)));
    EXPECT_EQ(h.last().acknowledgement, 701u) << "dropped, not acknowledged";
    EXPECT_EQ(h.provider->directCore.tcpHeldLimitDrops, 1);
    // Gone however it goes, a connection gives back what it held.
    h.send(segmentFrom(999, RST, sequence));
    EXPECT_EQ(h.provider->directCore.tcpHeldBytes->total, 0u);
    EXPECT_NE(h.report().find(" evicted=1 heldDrops=1 windowDrops=4 retransmits=0"), std::string::npos);
}

TEST(DirectTCP, ConnectFailuresAndTheWindowThatDisablesRelaying) {
    DirectHarness h;
    open(h);
    h.advance(4.99);
    EXPECT_EQ(h.provider->directCore.tcpSessions.size(), 1u);
    h.advance(0.01);
    EXPECT_TRUE(h.provider->directCore.tcpSessions.empty());
    EXPECT_EQ(h.last().flags, RST | ACK);
    EXPECT_EQ(h.provider->directCore.tcpConnectFailures, 1);
    EXPECT_TRUE(h.recorded("direct core TCP fatal session failure: connect timeout 203.0.113.5:443"));

    // A refused connection is not fatal and never counts towards disabling.
    for (int i = 0; i < 8; ++i) {
        h.send(segmentFrom(static_cast<uint16_t>(3000 + i), SYN, 1));
        h.connection().setState(TCPConnectionState::disconnected);
        h.advance(0.05);
    }
    EXPECT_TRUE(h.recorded("direct core TCP session failure: connection disconnected 203.0.113.5:443"));
    EXPECT_FALSE(h.provider->directCore.tcpDisabledForSession);

    // Fatal failures: the timeout's window is long over at 30 s, so a new
    // one opens; five failures in it do not disable relaying, the sixth
    // does, and cancels what is still open.
    h.at(30);
    const auto writeFailure = [&](uint16_t port) {
        h.send(segmentFrom(port, SYN, 1));
        h.connectOutside();
        h.connection().cancelled = true;  // the next write fails
        h.send(segmentFrom(port, ACK | PSH, 2, 0, {'x'}));
    };
    for (uint16_t port = 4000; port < 4005; ++port) writeFailure(port);
    EXPECT_FALSE(h.provider->directCore.tcpDisabledForSession) << "five in the window";
    h.send(segmentFrom(5000, SYN, 1));  // stays open until disabled
    auto& survivor = h.connection();
    writeFailure(4005);
    EXPECT_TRUE(h.provider->directCore.tcpDisabledForSession);
    EXPECT_TRUE(h.recorded("direct core TCP disabled for session: repeated TCP failures: write failed 203.0.113.5:443: "));
    EXPECT_TRUE(survivor.cancelled);
    EXPECT_TRUE(h.provider->directCore.tcpSessions.empty());
    EXPECT_FALSE(h.send(segmentFrom(6000, SYN, 1))) << "direct TCP now goes into the tunnel";
}

TEST(DirectTCP, QuietConnectionsCloseSilently) {
    DirectHarness h;
    const uint32_t s0 = open(h, true);
    h.at(20);
    h.connection().deliver({'d'});
    h.run();
    h.send(segmentFrom(999, ACK, 101, s0 + 1));
    const size_t before = h.written().size();
    h.at(119.9);  // checks at 60 (active at 20) and 120
    EXPECT_EQ(h.provider->directCore.tcpSessions.size(), 1u);
    h.at(120);
    EXPECT_TRUE(h.provider->directCore.tcpSessions.empty());
    EXPECT_EQ(h.provider->directCore.tcpIdleCloses, 1);
    EXPECT_EQ(h.written().size(), before) << "nothing is sent to the application";
}

}  // namespace
}  // namespace vantu::testing
