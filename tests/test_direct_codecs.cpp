// The direct core's packet codecs: hand-built edge cases, and a conversation
// with the kernel's own TCP and UDP through a TUN device in a private network
// namespace, so that what the kernel builds parses and what we build the
// kernel accepts.

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "directcore/codec/DirectCodec.h"
#include "tests/dns_test_support.h"

using namespace vantu;
using vantu::testing::udpPacket;

namespace {

constexpr uint32_t kLocal = 0x0A080002;   // 10.8.0.2
constexpr uint32_t kRemote = 0xC6336407;  // 198.51.100.7

// The ones' complement sum over the IPv4 header, and over the TCP part with
// its pseudo-header: both 0 when the checksums are right.
uint16_t headerResidue(const Bytes& p) { return DirectCodec::ipv4Checksum(p.data(), 20); }
uint16_t tcpResidue(const Bytes& p) {
    const size_t ihl = static_cast<size_t>(p[0] & 0x0f) * 4;
    return DirectCodec::tcpChecksum(p.data(), ihl, readBE16(&p[2]) - ihl, &p[12], &p[16]);
}

Bytes tcpPacket(const Bytes& options, uint8_t flags, const Bytes& payload = {}, size_t optionWords = 0) {
    Bytes p = udpPacket({10, 8, 0, 2}, 50000, {198, 51, 100, 7}, 443, Bytes(12 + options.size() + payload.size()), 0,
                        optionWords);
    const size_t ihl = 20 + 4 * optionWords;
    p[9] = 6;
    p[ihl + 12] = static_cast<uint8_t>(((20 + options.size()) / 4) << 4);
    p[ihl + 13] = flags;
    std::copy(options.begin(), options.end(), p.begin() + static_cast<long>(ihl + 20));
    std::copy(payload.begin(), payload.end(), p.begin() + static_cast<long>(ihl + 20 + options.size()));
    return p;
}

}  // namespace

TEST(DirectUDPCore, ParsesOnlyWholeUnfragmentedDatagrams) {
    const Bytes empty = udpPacket({10, 8, 0, 2}, 999, {198, 51, 100, 7}, 443, {});
    const auto d = DirectUDPCore::datagram(empty);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->key, (DirectUDPKey{kLocal, 999, kRemote, 443}));
    EXPECT_TRUE(d->payload.empty());
    EXPECT_EQ(d->key.description(), "10.8.0.2:999->198.51.100.7:443");

    const Bytes data{1, 2, 3};
    const auto withOption = DirectUDPCore::datagram(udpPacket({10, 8, 0, 2}, 1, {198, 51, 100, 7}, 2, data, 0, 1));
    ASSERT_TRUE(withOption.has_value());
    EXPECT_EQ(withOption->payload, data);
    Bytes padded = udpPacket({10, 8, 0, 2}, 1, {198, 51, 100, 7}, 2, data);
    padded.insert(padded.end(), {9, 9});
    EXPECT_EQ(DirectUDPCore::datagram(padded)->payload, data);

    const auto broken = [&](auto change) {
        Bytes p = udpPacket({10, 8, 0, 2}, 1, {198, 51, 100, 7}, 2, data);
        change(p);
        return !DirectUDPCore::datagram(p).has_value();
    };
    EXPECT_FALSE(broken([](Bytes& p) { p[6] = 0x40; })) << "don't-fragment is fine";
    EXPECT_TRUE(broken([](Bytes& p) { p[6] = 0x20; })) << "more fragments";
    EXPECT_TRUE(broken([](Bytes& p) { p[7] = 0x01; })) << "fragment offset";
    EXPECT_TRUE(broken([](Bytes& p) { p[0] = 0x44; })) << "header length 16";
    EXPECT_TRUE(broken([](Bytes& p) { p[25] = 7; })) << "UDP length below 8";
    EXPECT_TRUE(broken([](Bytes& p) { p[25] = 12; })) << "UDP length past the total length";
    EXPECT_TRUE(broken([](Bytes& p) { p[3] = 40; })) << "total length past the packet";
    EXPECT_TRUE(broken([](Bytes& p) { p[9] = 6; })) << "not UDP";
    EXPECT_TRUE(broken([](Bytes& p) { p.resize(27); }));
}

TEST(DirectUDPCore, BuildsTheRemoteEndsReply) {
    const DirectUDPKey key{kLocal, 50000, kRemote, 443};
    const uint8_t payload[] = {'p', 'o', 'n', 'g'};
    const auto p = DirectUDPCore::responsePacket(payload, 4, key);
    ASSERT_TRUE(p.has_value());
    const Bytes head{0x45, 0, 0, 0x20, 0, 0, 0, 0, 0x40, 0x11};
    EXPECT_EQ(Bytes(p->begin(), p->begin() + 10), head);
    const Bytes rest{0xC6, 0x33, 0x64, 0x07, 0x0A, 0x08, 0x00, 0x02, 0x01, 0xBB, 0xC3, 0x50, 0x00, 0x0C, 0, 0,
                     'p',  'o',  'n',  'g'};
    EXPECT_EQ(Bytes(p->begin() + 12, p->end()), rest);
    EXPECT_EQ(headerResidue(*p), 0);

    const Bytes largest(65507);
    EXPECT_EQ(readBE16(&(*DirectUDPCore::responsePacket(largest.data(), largest.size(), key))[2]), 65535);
    const Bytes tooLarge(65508);
    EXPECT_FALSE(DirectUDPCore::responsePacket(tooLarge.data(), tooLarge.size(), key).has_value());
}

TEST(DirectTCPCore, ParsesSegmentsAndTheirMSS) {
    const std::pair<Bytes, std::optional<int>> options[] = {
        {{2, 4, 0x05, 0xB4}, 1460},
        {{1, 1, 2, 4, 0x05, 0x78, 0, 0}, 1400},
        {{3, 3, 6, 2, 4, 0x05, 0xB4, 0}, 1460},
        {{0, 2, 4, 0x05, 0xB4, 0, 0, 0}, std::nullopt},
        {{2, 3, 0x05, 0xB4}, std::nullopt},
        {{1, 1, 1, 2}, std::nullopt},  // cut off by the data offset
        {{3, 0, 2, 4, 0x05, 0xB4, 0, 0}, std::nullopt},
        {{3, 1, 2, 4, 0x05, 0xB4, 0, 0}, std::nullopt},
    };
    for (const auto& [bytes, mss] : options) {
        const auto s = DirectTCPCore::segment(tcpPacket(bytes, DirectTCPFlags::syn));
        ASSERT_TRUE(s.has_value());
        EXPECT_EQ(s->maxSegmentSize, mss) << ::testing::PrintToString(bytes);
        EXPECT_TRUE(s->hasSYN() && !s->hasACK());
    }
    const Bytes data{'a', 'b', 'c'};
    const auto s = DirectTCPCore::segment(tcpPacket({}, DirectTCPFlags::ack | DirectTCPFlags::psh, data, 1));
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->payload, data);
    EXPECT_EQ(s->key, (DirectTCPKey{kLocal, 50000, kRemote, 443}));

    // Data offset 16 bytes, data offset past the segment, a fragment.
    for (const auto& [at, value] : {std::pair<size_t, uint8_t>{32, 0x40}, {32, 0x60}, {6, 0x20}}) {
        Bytes broken = tcpPacket({}, DirectTCPFlags::ack, data);
        broken[at] = value;
        EXPECT_FALSE(DirectTCPCore::segment(broken).has_value()) << at << " " << int(value);
    }
}

TEST(DirectTCPCore, BuiltSegmentsCarryValidChecksumsAndClampedMSS) {
    const DirectTCPKey key{kLocal, 50000, kRemote, 443};
    const std::pair<int, int> clamps[] = {{100, 536}, {70000, 65535}, {1360, 1360}};
    for (const auto& [given, carried] : clamps) {
        const auto p = DirectTCPCore::responsePacket(nullptr, 0, DirectTCPFlags::syn | DirectTCPFlags::ack, 7, 9, given, key);
        ASSERT_TRUE(p.has_value());
        ASSERT_EQ(p->size(), 44u);
        EXPECT_EQ(readBE16(&(*p)[42]), carried);
        EXPECT_EQ(headerResidue(*p), 0);
        EXPECT_EQ(tcpResidue(*p), 0);
    }
    const Bytes data(1001, 0x77);  // odd length: the trailing byte pads the sum
    const auto d = DirectTCPCore::responsePacket(data.data(), data.size(), DirectTCPFlags::ack, 1, 2, 1360, key);
    ASSERT_EQ(d->size(), 40u + data.size()) << "no option without SYN";
    EXPECT_EQ(readBE16(&(*d)[34]), 0xffff);
    EXPECT_EQ(tcpResidue(*d), 0);

    const auto r = DirectTCPCore::resetPacket(0x0A0B0C0D, 0x01020304, key);
    ASSERT_EQ(r->size(), 40u);
    EXPECT_EQ((*r)[32], 0x50);
    EXPECT_EQ((*r)[33], 0x14);
    EXPECT_EQ(readBE32(&(*r)[24]), 0x0A0B0C0Du);
    EXPECT_EQ(readBE32(&(*r)[28]), 0x01020304u);
    EXPECT_EQ(tcpResidue(*r), 0);
    const Bytes tooLarge(65496);
    EXPECT_FALSE(DirectTCPCore::responsePacket(tooLarge.data(), tooLarge.size(), DirectTCPFlags::ack, 0, 0, {}, key));
}

// ------------------------------------------------------------ against the kernel

namespace {

struct KernelPeer {
    int tun = -1;

    bool open() {
        if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) return false;
        tun = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        if (tun < 0) return false;
        ifreq r{};
        r.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::snprintf(r.ifr_name, IFNAMSIZ, "vdcodec0");
        if (::ioctl(tun, TUNSETIFF, &r) != 0) return false;
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        auto* a = reinterpret_cast<sockaddr_in*>(&r.ifr_addr);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(kLocal);
        const bool ok = ::ioctl(s, SIOCSIFADDR, &r) == 0 &&
                        (a->sin_addr.s_addr = htonl(0xFFFFFF00), ::ioctl(s, SIOCSIFNETMASK, &r) == 0) &&
                        (r.ifr_mtu = 1400, ::ioctl(s, SIOCSIFMTU, &r) == 0) &&
                        (r.ifr_flags = IFF_UP, ::ioctl(s, SIOCSIFFLAGS, &r) == 0);
        ::close(s);
        return ok;
    }
    ~KernelPeer() {
        if (tun >= 0) ::close(tun);
    }
    // The next IPv4 packet of `protocol` the kernel routes into the device.
    std::optional<Bytes> next(uint8_t protocol) {
        for (int i = 0; i < 20; ++i) {
            pollfd p{tun, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) return std::nullopt;
            Bytes b(65536);
            const ssize_t n = ::read(tun, b.data(), b.size());
            if (n <= 0) return std::nullopt;
            b.resize(static_cast<size_t>(n));
            if ((b[0] >> 4) == 4 && b[9] == protocol) return b;
        }
        return std::nullopt;
    }
    void inject(const Bytes& packet) { ASSERT_EQ(::write(tun, packet.data(), packet.size()), static_cast<ssize_t>(packet.size())); }
};

sockaddr_in addressOf(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return a;
}

int connectTo(uint32_t address, uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in a = addressOf(address, port);
    ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return s;
}

int socketError(int s) {
    pollfd p{s, POLLOUT | POLLIN, 0};
    ::poll(&p, 1, 2000);
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
    return error;
}

}  // namespace

TEST(DirectCodecsWithTheKernel, HandshakeDataResetAndUDP) {
    KernelPeer kernel;
    if (!kernel.open()) GTEST_SKIP() << "needs root (network namespace, TUN device)";
    constexpr uint32_t kFar = 0x0A080009;  // 10.8.0.9, reached through the device

    // The kernel's SYN parses, carries the MSS of the device's MTU and a valid checksum.
    const int app = connectTo(kFar, 443);
    const auto synPacket = kernel.next(6);
    ASSERT_TRUE(synPacket.has_value());
    EXPECT_EQ(tcpResidue(*synPacket), 0);
    const auto syn = DirectTCPCore::segment(*synPacket);
    ASSERT_TRUE(syn.has_value());
    EXPECT_TRUE(syn->hasSYN() && !syn->hasACK());
    EXPECT_EQ(syn->maxSegmentSize, 1360);
    const DirectTCPKey key = syn->key;
    EXPECT_EQ(key.destinationAddress, kFar);
    EXPECT_EQ(key.destinationPort, 443);

    // Our SYN-ACK completes the application's connect.
    uint32_t server = 1000, client = syn->sequence + 1;
    kernel.inject(*DirectTCPCore::responsePacket(nullptr, 0, DirectTCPFlags::syn | DirectTCPFlags::ack, server, client,
                                                 1360, key));
    ++server;
    ASSERT_EQ(socketError(app), 0);
    const auto ack = DirectTCPCore::segment(*kernel.next(6));
    EXPECT_EQ(ack->acknowledgement, server);

    // Data both ways.
    ASSERT_EQ(::send(app, "hello", 5, MSG_NOSIGNAL), 5);
    const auto hello = DirectTCPCore::segment(*kernel.next(6));
    EXPECT_EQ(hello->payload, (Bytes{'h', 'e', 'l', 'l', 'o'}));
    client += 5;
    const Bytes world{'w', 'o', 'r', 'l', 'd'};
    kernel.inject(*DirectTCPCore::responsePacket(world.data(), world.size(), DirectTCPFlags::ack | DirectTCPFlags::psh,
                                                 server, client, std::nullopt, key));
    server += 5;
    pollfd readable{app, POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 2000), 1);
    char received[16] = {};
    EXPECT_EQ(::recv(app, received, sizeof received, 0), 5);
    EXPECT_STREQ(received, "world");

    // A reset at sequence 0 is not what the kernel expects next, and it keeps
    // the connection; one at the next sequence number ends it.
    kernel.inject(*DirectTCPCore::resetPacket(0, client, key));
    ::usleep(50 * 1000);
    EXPECT_EQ(socketError(app), 0);
    kernel.inject(*DirectTCPCore::resetPacket(server, client, key));
    EXPECT_EQ(socketError(app), ECONNRESET);
    ::close(app);

    // UDP: the kernel's datagram parses, and our reply reaches the socket.
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in far = addressOf(kFar, 5000);
    ASSERT_EQ(::sendto(udp, "ping", 4, 0, reinterpret_cast<const sockaddr*>(&far), sizeof far), 4);
    const auto datagram = DirectUDPCore::datagram(*kernel.next(17));
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->payload, (Bytes{'p', 'i', 'n', 'g'}));
    const Bytes pong{'p', 'o', 'n', 'g'};
    kernel.inject(*DirectUDPCore::responsePacket(pong.data(), pong.size(), datagram->key));
    pollfd udpReadable{udp, POLLIN, 0};
    ASSERT_EQ(::poll(&udpReadable, 1, 2000), 1);
    char reply[8] = {};
    EXPECT_EQ(::recv(udp, reply, sizeof reply, 0), 4);
    EXPECT_STREQ(reply, "pong");
    ::close(udp);
}
