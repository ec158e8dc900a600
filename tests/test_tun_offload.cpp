// The TUN offload codec: super-packets cut into ordinary packets, batches
// coalesced into segmentation requests, checked byte by byte against an
// independent checksum, and the round trip of the two.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "platform/linux/offload/TunOffload.h"
#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/Netlink.h"
#include "platform/linux/TunPacketFlow.h"
#include "tests/linux_test_support.h"
#include "tests/loopback_test_support.h"

using namespace vantu;

namespace {

constexpr uint8_t FIN = 0x01, SYN = 0x02, PSH = 0x08, ACK = 0x10, CWR = 0x80;

// The loopback header's byte-by-byte sum is the reference for the codec's
// word-wise one.
using vantu::testing::onesSum;
using vantu::testing::put16;
using vantu::testing::readUntilClose;
using vantu::testing::sendAll;

uint16_t be16(const Bytes& b, size_t at) { return readBE16(&b[at]); }
uint32_t pseudo(const Bytes& p, uint8_t protocol, size_t length) {
    return be16(p, 12) + be16(p, 14) + be16(p, 16) + be16(p, 18) + protocol + static_cast<uint32_t>(length);
}
size_t ipHeaderLength(const Bytes& p) { return static_cast<size_t>(p[0] & 0x0f) * 4; }
uint16_t l4Sum(const Bytes& p) {
    const size_t ihl = ipHeaderLength(p);
    return onesSum(&p[ihl], p.size() - ihl, pseudo(p, p[9], p.size() - ihl));
}
bool ipChecksumValid(const Bytes& p) { return onesSum(p.data(), ipHeaderLength(p)) == 0xffff; }
bool l4ChecksumValid(const Bytes& p) { return l4Sum(p) == 0xffff; }
void fillChecksums(Bytes& p) {
    const size_t ihl = ipHeaderLength(p);
    put16(p, 10, 0);
    put16(p, 10, static_cast<uint16_t>(~onesSum(p.data(), ihl)));
    const size_t field = ihl + (p[9] == 6 ? 16 : 6);
    put16(p, field, 0);
    put16(p, field, static_cast<uint16_t>(~l4Sum(p)));
}

struct Seg {
    uint32_t src = 0xC0000202, dst = 0xC6336402;  // 192.0.2.2 -> 198.51.100.2
    uint16_t sport = 40000, dport = 5201;
    uint32_t seq = 0, ack = 0x01020304;
    uint8_t flags = ACK;
    uint16_t window = 502, id = 0;
    uint8_t ttl = 64, tos = 0;
    Bytes options{};    // TCP options, a multiple of 4
    Bytes ipOptions{};  // a multiple of 4
    size_t payload = 0;
    uint8_t protocol = 6;
};

// Payload byte i of a segment at sequence `seq`: a function of the stream
// offset, so that reassembled streams can be compared.
uint8_t streamByte(uint32_t seq) { return static_cast<uint8_t>(seq * 7 + (seq >> 8)); }

Bytes build(const Seg& s) {
    const size_t ihl = 20 + s.ipOptions.size();
    const size_t l4 = s.protocol == 6 ? 20 + s.options.size() : 8;
    Bytes p{static_cast<uint8_t>(0x40 | ihl / 4), s.tos};
    appendBE(p, static_cast<uint16_t>(ihl + l4 + s.payload));
    appendBE(p, s.id);
    p.insert(p.end(), {0x40, 0, s.ttl, s.protocol, 0, 0});  // DF; the checksum comes last
    appendBE(p, s.src);
    appendBE(p, s.dst);
    p.insert(p.end(), s.ipOptions.begin(), s.ipOptions.end());
    appendBE(p, s.sport);
    appendBE(p, s.dport);
    if (s.protocol == 6) {
        appendBE(p, s.seq);
        appendBE(p, s.ack);
        p.insert(p.end(), {static_cast<uint8_t>(l4 / 4 << 4), s.flags});
        appendBE(p, s.window);
        p.insert(p.end(), 4, 0);  // checksum, urgent pointer
        p.insert(p.end(), s.options.begin(), s.options.end());
    } else {
        appendBE(p, static_cast<uint16_t>(l4 + s.payload));
        p.insert(p.end(), 2, 0);
    }
    for (size_t i = 0; i < s.payload; ++i) p.push_back(streamByte(s.seq + static_cast<uint32_t>(i)));
    fillChecksums(p);
    return p;
}

Bytes withVirtioHeader(const virtio_net_hdr& h, const Bytes& packet) {
    Bytes b(sizeof h + packet.size());
    std::memcpy(b.data(), &h, sizeof h);
    if (!packet.empty()) std::memcpy(b.data() + sizeof h, packet.data(), packet.size());
    return b;
}

// A kernel-style super-packet: full length in the IP header, the TCP field
// holding only the pseudo-header's sum.
Bytes superPacket(Seg s, uint16_t segmentSize) {
    Bytes p = build(s);
    const size_t ihl = ipHeaderLength(p);
    put16(p, ihl + 16, onesSum(nullptr, 0, pseudo(p, 6, p.size() - ihl)));
    virtio_net_hdr h{};
    h.flags = VIRTIO_NET_HDR_F_NEEDS_CSUM;
    h.gso_type = VIRTIO_NET_HDR_GSO_TCPV4;
    h.gso_size = segmentSize;
    h.hdr_len = static_cast<uint16_t>(ihl + 20 + s.options.size());
    h.csum_start = static_cast<uint16_t>(ihl);
    h.csum_offset = 16;
    return withVirtioHeader(h, p);
}

std::vector<Bytes> splitAll(const Bytes& read) {
    std::vector<Bytes> out;
    size_t used = 0;
    const auto r = splitTunRead(read.data(), read.size(), out, used);
    EXPECT_EQ(r.status, TunReadStatus::packets);
    EXPECT_EQ(r.count, used);
    out.resize(used);
    return out;
}

const Bytes kTimestamps{1, 1, 8, 10, 0, 0, 0x12, 0x34, 0, 0, 0x56, 0x78};

}  // namespace

TEST(TunOffloadSplit, SuperPacketsBecomeCheckedSegments) {
    struct Case {
        std::string name;
        Seg s;
        uint16_t segment;
        size_t segments;
    };
    const std::vector<Case> cases = {
        {"even cut", {.seq = 1000, .id = 7, .payload = 4000}, 1000, 4},
        {"short last", {.seq = 1000, .flags = ACK | PSH, .id = 7, .payload = 4001}, 1000, 5},
        {"FIN, PSH last, CWR first",
         {.seq = 5, .flags = ACK | PSH | FIN | CWR, .id = 9, .options = kTimestamps, .payload = 2896}, 1448, 2},
        {"sequence and id wrap",
         {.seq = 0xfffff000, .id = 0xfffe, .options = kTimestamps, .payload = 65535 - 52}, 1380, 48},
        {"one segment's worth", {.seq = 77, .flags = ACK | PSH, .id = 1, .payload = 900}, 1000, 1},
        {"IP options", {.seq = 42, .id = 3, .ipOptions = {0x01, 0x01, 0x01, 0x00}, .payload = 3000}, 1400, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Seg& s = c.s;
        const auto parts = splitAll(superPacket(s, c.segment));
        ASSERT_EQ(parts.size(), c.segments);
        // Each segment is the packet the sender would have sent on its own:
        // its share of the payload, sequence number and IP id following on,
        // FIN and PSH only on the last, CWR only on the first, checksums valid.
        size_t offset = 0;
        for (size_t i = 0; i < parts.size(); ++i) {
            Seg expected = s;
            expected.payload = std::min<size_t>(c.segment, s.payload - offset);
            expected.seq = static_cast<uint32_t>(s.seq + offset);
            expected.id = static_cast<uint16_t>(s.id + i);
            if (i + 1 < parts.size()) expected.flags &= static_cast<uint8_t>(~(FIN | PSH));
            if (i > 0) expected.flags &= static_cast<uint8_t>(~CWR);
            EXPECT_EQ(parts[i], build(expected)) << "segment " << i;
            offset += expected.payload;
        }
        EXPECT_EQ(offset, s.payload);
    }
}

TEST(TunOffloadSplit, PartialChecksumsRefusalsAndReuse) {
    // A single packet whose checksum the kernel left to us: TCP and UDP.
    for (uint8_t protocol : {uint8_t{6}, uint8_t{17}}) {
        SCOPED_TRACE(int(protocol));
        Seg s;
        s.protocol = protocol;
        s.payload = 333;
        const Bytes full = build(s);
        Bytes partial = full;
        const size_t field = 20 + (protocol == 6 ? 16 : 6);
        put16(partial, field, onesSum(nullptr, 0, pseudo(partial, protocol, partial.size() - 20)));
        virtio_net_hdr h{};
        h.flags = VIRTIO_NET_HDR_F_NEEDS_CSUM;
        h.csum_start = 20;
        h.csum_offset = static_cast<uint16_t>(field - 20);
        EXPECT_EQ(splitAll(withVirtioHeader(h, partial)), std::vector<Bytes>{full});
        // Without the flag the packet passes untouched, whatever it holds.
        EXPECT_EQ(splitAll(withVirtioHeader(virtio_net_hdr{}, partial)), std::vector<Bytes>{partial});
    }

    Seg s;
    s.payload = 3000;
    const Bytes good = superPacket(s, 1000);
    auto tweaked = [&](auto change) {
        Bytes b = good;
        virtio_net_hdr h;
        std::memcpy(&h, b.data(), sizeof h);
        change(h, b);
        std::memcpy(b.data(), &h, sizeof h);
        return b;
    };
    struct Refusal {
        std::string name;
        Bytes read;
        TunReadStatus status;
    };
    const std::vector<Refusal> refusals = {
        {"IPv6 super-packet", tweaked([](virtio_net_hdr& h, Bytes&) { h.gso_type = VIRTIO_NET_HDR_GSO_TCPV6; }),
         TunReadStatus::droppedIPv6},
        {"UDP segmentation", tweaked([](virtio_net_hdr& h, Bytes&) { h.gso_type = VIRTIO_NET_HDR_GSO_UDP; }),
         TunReadStatus::malformed},
        {"segment size 0", tweaked([](virtio_net_hdr& h, Bytes&) { h.gso_size = 0; }), TunReadStatus::malformed},
        {"not TCP", tweaked([](virtio_net_hdr&, Bytes& b) { b[10 + 9] = 17; }), TunReadStatus::malformed},
        {"a fragment", tweaked([](virtio_net_hdr&, Bytes& b) { b[10 + 6] |= 0x20; }), TunReadStatus::malformed},
        {"TCP header beyond the read", Bytes(good.begin(), good.begin() + 10 + 30), TunReadStatus::malformed},
        {"checksum field beyond the packet",
         tweaked([](virtio_net_hdr& h, Bytes&) {
             h.gso_type = 0;
             h.csum_start = 3030;
         }),
         TunReadStatus::malformed},
        {"shorter than the header", Bytes(good.begin(), good.begin() + 9), TunReadStatus::malformed},
        {"header alone", Bytes(10, 0), TunReadStatus::malformed},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.name);
        std::vector<Bytes> out{Bytes{1, 2, 3}};
        size_t used = 1;
        const auto result = splitTunRead(r.read.data(), r.read.size(), out, used);
        EXPECT_EQ(result.status, r.status);
        EXPECT_EQ(result.count, 0u);
        EXPECT_EQ(used, 1u);
        EXPECT_EQ(out[0], (Bytes{1, 2, 3}));
    }

    // Output slots past `used` are overwritten in place, and missing ones added.
    std::vector<Bytes> out(3, Bytes(2000, 0xee));
    out[1].reserve(4000);
    const uint8_t* kept = out[1].data();
    size_t used = 1;
    const auto result = splitTunRead(good.data(), good.size(), out, used);
    EXPECT_EQ(result.count, 3u);
    EXPECT_EQ(used, 4u);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0], Bytes(2000, 0xee));
    EXPECT_EQ(out[1].data(), kept);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(out[i].size(), 1040u);
}

namespace {

// `n` consecutive segments of one flow, ids and sequence numbers following on.
std::vector<Seg> flow(size_t n, size_t payload, uint32_t seq = 1000, uint16_t id = 100) {
    std::vector<Seg> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i].payload = payload;
        v[i].seq = seq;
        v[i].id = static_cast<uint16_t>(id + i);
        v[i].options = kTimestamps;
        seq += static_cast<uint32_t>(payload);
    }
    return v;
}

std::vector<Bytes> built(const std::vector<Seg>& segs) {
    std::vector<Bytes> v;
    for (const auto& s : segs) v.push_back(build(s));
    return v;
}

}  // namespace

TEST(TunOffloadCoalesce, RunsOfOneFlowAndWhatBreaksThem) {
    struct Case {
        std::string name;
        std::vector<Seg> segs;
        std::vector<size_t> writes;  // segments per write, in order
        bool damaged = false;        // a segment's checksum spoiled after building
    };
    auto with = [](std::vector<Seg> v, size_t at, auto change) {
        change(v[at]);
        return v;
    };
    auto concat = [](std::vector<Seg> a, const std::vector<Seg>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    auto otherFlow = [](Seg& s) { s.sport = 40001; };
    std::vector<Seg> interleaved;
    {
        auto a = flow(2, 1000), b = flow(2, 1000, 9000);
        for (auto& s : b) otherFlow(s);
        interleaved = {a[0], b[0], a[1], b[1]};
    }
    auto twoFlows = [&] {
        auto b = flow(3, 500, 77);
        for (auto& s : b) otherFlow(s);
        return concat(flow(2, 1000), b);
    }();
    const std::vector<Case> cases = {
        {"one run", flow(4, 1368), {4}},
        {"last smaller is fine", with(flow(3, 1000), 2, [](Seg& s) { s.payload = 10; }), {3}},
        {"middle smaller is not", [&] {
             auto v = flow(3, 1000);
             v[1].payload = 500;
             v[2].seq = v[1].seq + 500;
             return v;
         }(), {2, 1}},
        {"PSH on the last", with(flow(3, 1000), 2, [](Seg& s) { s.flags = ACK | PSH; }), {3}},
        {"PSH in the middle ends the run", with(flow(3, 1000), 1, [](Seg& s) { s.flags = ACK | PSH; }), {2, 1}},
        {"FIN stands alone", with(flow(3, 1000), 2, [](Seg& s) { s.flags = ACK | FIN; }), {2, 1}},
        {"CWR stands alone", with(flow(3, 1000), 0, [](Seg& s) { s.flags = ACK | CWR; }), {1, 2}},
        {"sequence gap", with(flow(3, 1000), 2, [](Seg& s) { s.seq += 1; }), {2, 1}},
        {"retransmission", with(flow(3, 1000), 2, [](Seg& s) { s.seq -= 1000; }), {2, 1}},
        {"other flows keep their order", interleaved, {1, 1, 1, 1}},
        {"adjacent runs of two flows", twoFlows, {2, 3}},
        {"other acknowledgement", with(flow(3, 1000), 0, [](Seg& s) { s.ack += 1; }), {1, 2}},
        {"other window", with(flow(3, 1000), 2, [](Seg& s) { s.window = 1; }), {2, 1}},
        {"options differ", with(flow(3, 1000), 2, [](Seg& s) { s.options[11] ^= 1; }), {2, 1}},
        {"other TTL", with(flow(2, 1000), 1, [](Seg& s) { s.ttl = 63; }), {1, 1}},
        {"ECN mark", with(flow(2, 1000), 1, [](Seg& s) { s.tos = 3; }), {1, 1}},
        {"other destination", with(flow(2, 1000), 1, [](Seg& s) { s.dst += 1; }), {1, 1}},
        {"IP options", [] {
             auto v = flow(2, 1000);
             for (auto& s : v) s.ipOptions = {1, 1, 1, 0};
             return v;
         }(), {1, 1}},
        {"not TCP", with(flow(3, 1000), 1, [](Seg& s) { s.protocol = 17; }), {1, 1, 1}},
        {"no payload", with(flow(2, 0), 0, [](Seg&) {}), {1, 1}},
        {"at most 65535 bytes", flow(50, 1400), {46, 4}},
        {"at most 64 segments", flow(70, 100), {64, 6}},
        {"a damaged checksum is not hidden", flow(3, 1000), {1, 1, 1}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> packets = built(c.segs);
        if (c.damaged) packets[1].back() ^= 0x40;
        std::vector<TunWrite> writes;
        planTunWrites(packets, writes);
        std::vector<size_t> counts;
        for (const auto& w : writes) counts.push_back(w.count);
        EXPECT_EQ(counts, c.writes);

        std::vector<Bytes> back;
        size_t next = 0;
        for (const auto& w : writes) {
            EXPECT_EQ(w.first, next);
            next += w.count;
            Bytes flat;
            flattenTunWrite(w, packets, flat);
            ASSERT_EQ(flat.size(), w.bytes(packets));
            if (w.count == 1) {
                EXPECT_EQ(flat, withVirtioHeader(virtio_net_hdr{}, packets[w.first]));
            } else {
                // The run as the kernel would have handed it over: the first
                // segment's headers with the last one's flags, and all the payload.
                Seg run = c.segs[w.first];
                run.flags = c.segs[w.first + w.count - 1].flags;
                for (size_t i = 1; i < w.count; ++i) run.payload += c.segs[w.first + i].payload;
                EXPECT_EQ(flat, superPacket(run, static_cast<uint16_t>(c.segs[w.first].payload)));
            }
            const auto parts = splitAll(flat);
            back.insert(back.end(), parts.begin(), parts.end());
        }
        EXPECT_EQ(next, packets.size());
        // What a reader splits from the writes is the batch itself.
        EXPECT_EQ(back, packets);
    }
}

TEST(TunOffloadChecksum, WordWiseSumMatchesTheReference) {
    Bytes data(1501);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 17);
    for (size_t from : {0u, 1u, 3u})
        for (size_t to : {from, from + 1, from + 2, from + 3, from + 4, size_t{1500}, size_t{1501}})
            for (uint32_t initial : {0u, 0xffffu, 0x2fffdu})
                EXPECT_EQ(onesComplementSum(data.data() + from, to - from, initial), onesSum(data.data() + from, to - from, initial))
                    << from << ".." << to << " from " << initial;
    // Carries out of every word: the largest packet of all ones.
    const Bytes ones(65535, 0xff);
    EXPECT_EQ(onesComplementSum(ones.data(), ones.size(), 0x1234), onesSum(ones.data(), ones.size(), 0x1234));
}

// ------------------------------------------------------------ against the kernel

namespace {

// 192.0.2.1/24 on the device; what the kernel sends to 192.0.2.2 is sent back
// with the two addresses swapped, so a connection from 192.0.2.1:A to
// 192.0.2.2:P meets a listener on 192.0.2.1:P that sees its peer as
// 192.0.2.2:A. Swapping addresses leaves every checksum as it was.
void configureDevice(const std::string& name) {
    Netlink nl;
    const int index = nl.link(name)->index;
    nl.addAddress({index, "192.0.2.1", 24});
    nl.setLink(index, std::nullopt, true);
}

// `n` pseudo-random bytes of `seed`.
std::string randomText(size_t n, uint32_t seed) {
    std::mt19937 random(seed);
    std::string text(n, '\0');
    for (char& c : text) c = static_cast<char>(random());
    return text;
}

// A connected socket never waits more than 10 s, connecting included.
int withTimeouts(int s) {
    const timeval t{10, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
    return s;
}

}  // namespace

TEST(TunOffloadWithTheKernel, SuperPacketsReadAndCoalescedWritesCarryATCPStreamIntact) {
    if (!vantu::testing::enterNetworkNamespace()) GTEST_SKIP() << "needs root (network namespace, TUN device)";
    ::unsetenv("VANTU_TUN_OFFLOAD");
    vantu::testing::CapturingLog log;
    AsioWorkQueue queue;
    auto flow = std::make_unique<TunPacketFlow>(queue, "vtoff0", &log);
    ASSERT_TRUE(flow->offloads()) << ::testing::PrintToString(log.lines);
    ASSERT_NO_THROW(configureDevice(flow->name()));

    // The reflector: every IPv4 packet read is checked as the rest of the
    // client would see it, then the batch goes back in one write call, as
    // the packet path hands over what one receive brought in.
    size_t badPackets = 0, largest = 0, tcpPackets = 0, reflected = 0;
    std::function<void()> reflect = [&] {
        flow->readPackets([&](std::vector<Bytes> packets, std::vector<int> protocols) {
            std::vector<Bytes> back;
            for (size_t i = 0; i < packets.size(); ++i) {
                Bytes& p = packets[i];
                if (protocols[i] != AF_INET) continue;
                largest = std::max(largest, p.size());
                if (be16(p, 2) != p.size() || !ipChecksumValid(p) || (p[9] == 6 && !l4ChecksumValid(p))) ++badPackets;
                if (p[9] == 6) ++tcpPackets;
                std::swap_ranges(p.begin() + 12, p.begin() + 16, p.begin() + 16);
                back.push_back(std::move(p));
            }
            reflected += back.size();
            flow->writePackets(back, std::vector<int>(back.size(), AF_INET));
            reflect();
        });
    };
    reflect();

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0xC0000201);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << std::strerror(errno);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof local;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);

    constexpr size_t kUpload = 24 << 20, kDownload = 16 << 20;
    const std::string upload = randomText(kUpload, 1), download = randomText(kDownload, 2);
    std::string uploaded, downloaded;
    std::atomic<int> finished{0};
    std::thread client([&] {
        const int s = withTimeouts(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in far = local;
        far.sin_addr.s_addr = htonl(0xC0000202);
        if (::connect(s, reinterpret_cast<sockaddr*>(&far), sizeof far) == 0) {
            sendAll(s, upload);
            ::shutdown(s, SHUT_WR);
            downloaded = readUntilClose(s);
        }
        ::close(s);
        ++finished;
    });
    std::thread server([&] {
        const int s = ::accept(listener, nullptr, nullptr);
        if (s >= 0) {
            uploaded = readUntilClose(withTimeouts(s));
            sendAll(s, download);
            ::close(s);
        }
        ++finished;
    });
    const bool done = queue.runUntil([&] { return finished == 2; }, Duration(60));
    if (!done) ::shutdown(listener, SHUT_RDWR);
    client.join();
    server.join();
    ::close(listener);
    ASSERT_TRUE(done);

    // Whole streams compared, without printing megabytes when they differ.
    EXPECT_EQ(uploaded.size(), kUpload);
    EXPECT_TRUE(uploaded == upload);
    EXPECT_EQ(downloaded.size(), kDownload);
    EXPECT_TRUE(downloaded == download);

    flow->close();
    const auto c = flow->counters();
    // The kernel handed over super-packets, cut here into packets of the
    // device's MTU with valid checksums, and took runs of them back whole.
    EXPECT_GT(c.superPacketsRead, 0u);
    EXPECT_GT(c.coalescedWrites, 0u);
    EXPECT_LT(c.superPacketsRead + c.coalescedWrites, c.packetsRead);
    EXPECT_EQ(badPackets, 0u);
    EXPECT_LE(largest, 1500u);
    EXPECT_GT(tcpPackets, (kUpload + kDownload) / 1500);
    EXPECT_EQ(c.packetsDropped, 0u);
    EXPECT_EQ(c.readsDropped, 0u);
    EXPECT_EQ(c.packetsWritten, reflected);
}
