// The server's DNS forwarder: which client packets it takes, the answer
// packet it builds, forwarding on loopback to a tiny responder in the test,
// the bound on waiting queries and their timeout, and the configuration key.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <asio/ip/udp.hpp>

#include "server/DnsForwarder.h"
#include "server/EchoResponder.h"
#include "server/ServerConfig.h"
#include "tests/dns_test_support.h"

using namespace vantu;
using namespace vantu::server;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kClientA = 0x0A070002;  // 10.7.0.2
constexpr uint32_t kClientB = 0x0A070003;
constexpr uint32_t kVirtualResolver = 0x64646464;  // 100.100.100.100

Bytes dnsQuery(uint16_t id) { return vantu::testing::dnsQueryMessage(id, "web.vantu.test"); }

Bytes queryPacket(uint32_t client, uint16_t port, uint32_t destination, const Bytes& dns, uint16_t dport = 53) {
    return DnsForwardingSink::udpPacket(client, port, destination, dport, dns.data(), dns.size());
}

bool checksumsValid(const Bytes& p) {
    if (internetChecksum(p.data(), 20) != 0) return false;
    const uint32_t src = readBE32(&p[12]), dst = readBE32(&p[16]);
    const uint32_t pseudo = (src >> 16) + (src & 0xffff) + (dst >> 16) + (dst & 0xffff) + 17 + (p.size() - 20);
    return internetChecksum(p.data() + 20, p.size() - 20, pseudo) == 0;
}

// Polls for up to 3 s; whether `done` came true.
template <typename Done>
bool eventually(Done done) {
    for (int i = 0; i < 300 && !done(); ++i) std::this_thread::sleep_for(10ms);
    return done();
}

// Collects what a sink hands over, from whatever thread.
struct Collector : PacketSink {
    std::mutex mutex;
    std::vector<Bytes> packets;
    void deliver(const Bytes& packet) override { add(packet); }
    void add(const Bytes& packet) {
        std::lock_guard lock(mutex);
        packets.push_back(packet);
    }
    std::vector<Bytes> waitFor(size_t n) {
        eventually([&] {
            std::lock_guard lock(mutex);
            return packets.size() >= n;
        });
        std::lock_guard lock(mutex);
        return packets;
    }
};

// The upstream: answers each query with QR set and one A record (the
// query's own ID, as a resolver does), unless told to stay silent. A forger
// first sends what an attacker with the upstream's address would: the
// answer with the ID off by one, one for another question, and one from
// another port, each with another address in its record.
struct Responder {
    enum Mode { answering, silent, forging };
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int spoofer = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> asked{0};
    std::vector<std::pair<uint16_t, uint16_t>> seen;  // ID and source port of each query, in order
    std::thread thread;
    explicit Responder(Mode mode) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot bind the responder";
        }
        port = ntohs(address.sin_port);
        thread = std::thread([this, mode] {
            uint8_t buffer[1500];
            while (!stopping) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) continue;
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (n < 12) continue;
                ++asked;
                seen.emplace_back(readBE16(buffer), ntohs(from.sin_port));
                if (mode == silent) continue;
                const auto reply = [&](uint8_t lastOctet) {
                    Bytes r(buffer, buffer + n);
                    r[2] |= 0x80;
                    r[7] = 1;  // one answer
                    r.insert(r.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 198, 51, 100, lastOctet});
                    return r;
                };
                const auto sendFrom = [&](int socket, const Bytes& r) {
                    ::sendto(socket, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
                };
                if (mode == forging) {
                    Bytes wrongID = reply(66), otherQuestion = reply(67);
                    wrongID[1] ^= 1;
                    otherQuestion[13] ^= 0x20;  // the name's first letter in the other case
                    sendFrom(fd, wrongID);
                    sendFrom(fd, otherQuestion);
                    sendFrom(spoofer, reply(68));
                }
                sendFrom(fd, reply(2));
            }
        });
    }
    ~Responder() {
        stopping = true;
        thread.join();
        ::close(fd);
        ::close(spoofer);
    }
    asio::ip::udp::endpoint endpoint() const { return {asio::ip::make_address("127.0.0.1"), port}; }
};

}  // namespace

TEST(DnsForwardingSink, TakesOnlyQueriesToPort53AndBuildsValidAnswers) {
    const Bytes dns = dnsQuery(0x1234);
    const Bytes good = queryPacket(kClientA, 40000, kVirtualResolver, dns);
    const auto query = DnsForwardingSink::parseQuery(good);
    ASSERT_TRUE(query.has_value());
    EXPECT_EQ(query->client, kClientA);
    EXPECT_EQ(query->clientPort, 40000);
    EXPECT_EQ(query->destination, kVirtualResolver);
    EXPECT_EQ(query->payload, dns);
    EXPECT_TRUE(checksumsValid(good));

    const auto changed = [](Bytes p, size_t at, uint8_t value) {
        p[at] = value;
        return p;
    };
    const std::vector<std::pair<const char*, Bytes>> notOurs{
        {"another port", queryPacket(kClientA, 40000, kVirtualResolver, dns, 5353)},
        {"a response", queryPacket(kClientA, 40000, kVirtualResolver, changed(dns, 2, 0x81))},
        {"shorter than a DNS header", queryPacket(kClientA, 40000, kVirtualResolver, Bytes(dns.begin(), dns.begin() + 11))},
        {"TCP", changed(good, 9, 6)},
        {"a fragment", changed(good, 6, 0x20)},
        {"UDP length beyond the packet", changed(good, 24, 0x7f)},
        {"truncated IP packet", Bytes(good.begin(), good.begin() + 30)},
    };
    for (const auto& [what, packet] : notOurs) EXPECT_FALSE(DnsForwardingSink::parseQuery(packet)) << what;

    // The question section that an answer must repeat.
    EXPECT_EQ(DnsForwardingSink::questionEnd(dns.data(), dns.size()), dns.size());
    EXPECT_EQ(DnsForwardingSink::questionEnd(dns.data(), dns.size() - 1), std::nullopt);
    Bytes noQuestion(dns.begin(), dns.begin() + 12);
    noQuestion[5] = 0;
    EXPECT_EQ(DnsForwardingSink::questionEnd(noQuestion.data(), noQuestion.size()), 12u);

    // Odd payload length: the checksum pads with a zero byte.
    const uint8_t odd[] = {1, 2, 3};
    const Bytes answer = DnsForwardingSink::udpPacket(kVirtualResolver, 53, kClientB, 5300, odd, sizeof odd);
    EXPECT_EQ(answer.size(), 31u);
    EXPECT_TRUE(checksumsValid(answer));
    EXPECT_EQ(readBE32(&answer[12]), kVirtualResolver);
    EXPECT_EQ(readBE16(&answer[22]), 5300);
}

TEST(DnsForwardingSink, ForwardsOnLoopbackAndAnswersFromTheQueriedAddress) {
    Responder upstream(Responder::answering);
    auto inner = std::make_shared<Collector>();
    DnsForwardingSink sink({upstream.endpoint(), 16, 2000ms}, inner);
    Collector toClients;
    sink.sendToClients = [&](const Bytes& p) { toClients.add(p); };
    sink.start();

    // Two clients using the same query ID, to different destinations.
    sink.deliver(queryPacket(kClientA, 40000, kVirtualResolver, dnsQuery(0x1234)));
    sink.deliver(queryPacket(kClientB, 40001, 0xC6336402, dnsQuery(0x1234)));
    // Not DNS: the inner sink gets it, and what it sends reaches the clients.
    const Bytes other = queryPacket(kClientA, 40000, kVirtualResolver, dnsQuery(1), 443);
    sink.deliver(other);
    inner->sendToClients(other);

    const auto answers = toClients.waitFor(3);
    sink.stop();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(inner->packets, std::vector<Bytes>{other});
    EXPECT_EQ(upstream.asked, 2);
    struct Expected {
        uint32_t from, to;
        uint16_t port;
    };
    for (const Expected e : {Expected{kVirtualResolver, kClientA, 40000}, Expected{0xC6336402, kClientB, 40001}}) {
        const auto it = std::find_if(answers.begin(), answers.end(), [&](const Bytes& p) {
            return readBE32(&p[16]) == e.to && readBE16(&p[20]) == 53;
        });
        ASSERT_NE(it, answers.end()) << "no answer for client " << std::hex << e.to;
        const Bytes& p = *it;
        EXPECT_TRUE(checksumsValid(p));
        EXPECT_EQ(readBE32(&p[12]), e.from);
        EXPECT_EQ(readBE16(&p[22]), e.port);
        EXPECT_EQ(readBE16(&p[28]), 0x1234) << "the client's own ID comes back";
        EXPECT_TRUE(p[30] & 0x80);
        // The A record the responder added: 198.51.100.2.
        EXPECT_EQ(Bytes(p.end() - 4, p.end()), (Bytes{198, 51, 100, 2}));
    }
    EXPECT_EQ(sink.forwarded(), 2u);
    EXPECT_EQ(sink.answered(), 2u);
    EXPECT_EQ(sink.dropped() + sink.timedOut(), 0u);
}

// Forged answers do not count, and the real one still does; each query
// leaves with a random ID from a port of its own.
TEST(DnsForwardingSink, AcceptsOnlyTheAnswerToTheQuerySent) {
    Responder upstream(Responder::forging);
    DnsForwardingSink sink({upstream.endpoint(), 32, 2000ms}, std::make_shared<Collector>());
    Collector toClients;
    sink.sendToClients = [&](const Bytes& p) { toClients.add(p); };
    sink.start();
    constexpr uint16_t kQueries = 16;
    for (uint16_t id = 0; id < kQueries; ++id) sink.deliver(queryPacket(kClientA, 40000 + id, kVirtualResolver, dnsQuery(id)));
    ASSERT_EQ(toClients.waitFor(kQueries).size(), kQueries);
    EXPECT_TRUE(eventually([&] { return sink.mismatched() == 2 * kQueries; })) << sink.mismatched();
    sink.stop();
    for (const Bytes& p : toClients.packets) EXPECT_EQ(p.back(), 2) << "a forged answer reached the client";
    EXPECT_EQ(sink.answered(), kQueries);

    std::set<uint16_t> ports;
    int counting = 0;
    for (size_t i = 0; i < upstream.seen.size(); ++i) {
        ports.insert(upstream.seen[i].second);
        if (i > 0) counting += upstream.seen[i].first == uint16_t(upstream.seen[i - 1].first + 1);
    }
    EXPECT_EQ(ports.size(), kQueries) << "queries share a source port";
    EXPECT_LE(counting, 2) << "the upstream IDs follow each other";
}

TEST(DnsForwardingSink, BoundsWaitingQueriesAndTimesThemOut) {
    Responder silent(Responder::silent);
    DnsForwardingSink sink({silent.endpoint(), 2, 150ms}, std::make_shared<Collector>());
    Collector toClients;
    sink.sendToClients = [&](const Bytes& p) { toClients.add(p); };
    sink.start();
    for (uint16_t id = 1; id <= 3; ++id) sink.deliver(queryPacket(kClientA, 40000 + id, kVirtualResolver, dnsQuery(id)));
    EXPECT_TRUE(eventually([&] { return sink.timedOut() == 2; })) << sink.timedOut();
    EXPECT_EQ(sink.forwarded(), 2u);
    EXPECT_EQ(sink.dropped(), 1u);
    EXPECT_EQ(silent.asked, 2);
    // Room again once they timed out.
    sink.deliver(queryPacket(kClientA, 40009, kVirtualResolver, dnsQuery(9)));
    EXPECT_TRUE(eventually([&] { return sink.forwarded() == 3; }));
    sink.stop();
    EXPECT_TRUE(toClients.packets.empty());
}

TEST(DnsForwardingSink, ConfigurationKey) {
    nlohmann::json document = {{"dns_forwarder", "127.0.0.1:5353"}, {"control_port", 1}};
    const auto endpoint = extractDnsForwarder(document);
    ASSERT_TRUE(endpoint.has_value());
    EXPECT_EQ(endpoint->address().to_string(), "127.0.0.1");
    EXPECT_EQ(endpoint->port(), 5353);
    EXPECT_FALSE(document.contains("dns_forwarder"));
    EXPECT_EQ(document.size(), 1u);
    EXPECT_FALSE(extractDnsForwarder(document).has_value());
    EXPECT_EQ(parseDnsForwarder("192.0.2.53").port(), 53);

    for (const char* bad : {"", "resolver.example.test", "192.0.2.53:", "192.0.2.53:0", "192.0.2.53:65536",
                            "192.0.2.53:53x", "[2001:db8::1]:53"}) {
        nlohmann::json doc = {{"dns_forwarder", bad}};
        EXPECT_THROW(extractDnsForwarder(doc), ConfigError) << bad;
        EXPECT_TRUE(doc.contains("dns_forwarder")) << bad;
    }
    nlohmann::json number = {{"dns_forwarder", 53}};
    try {
        extractDnsForwarder(number);
        ADD_FAILURE() << "a number was accepted";
    } catch (const ConfigError& e) {
        EXPECT_STREQ(e.what(), "dns_forwarder must be a string, not number");
    }
}
