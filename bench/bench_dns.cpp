// DNS on the packet path.
//
// Rejection: every outbound packet is offered to query recognition and every
// packet from the tunnel to answer reading, so the cost of turning away a
// packet that is not DNS is paid on every packet. Learning: an answer for a
// direct domain whose routes are already known (the common case once warm).
//
// Latency: a query answered through the provider (packet flow -> outside UDP
// session -> upstream -> reply packet) against the same query sent to the
// upstream directly, over 127.0.0.77 with real sockets; median and p99 of
// 1000 queries each, in one run. Needs root to bind port 53 on loopback.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/MarkedSockets.h"
#include "platform/sim/SimPlatform.h"
#include "routing/DNSRouteResolver.h"
#include "routing/LocalDNSResolver.h"
#include "tests/dns_test_support.h"

namespace vantu {
namespace {

using testing::aRecord;
using testing::dnsAnswerMessage;
using testing::dnsQueryMessage;
using testing::pointerTo;
using testing::udpPacket;

const std::array<uint8_t, 4> kApp{10, 7, 0, 2}, kFar{198, 51, 100, 99};

Bytes tcpPacket(size_t size) {
    Bytes p = udpPacket(kApp, 50000, kFar, 443, Bytes(size - 28, 0x5a));
    p[9] = 6;
    return p;
}

void BM_QueryRecognitionRejects(benchmark::State& state) {
    const Bytes packet = state.range(0) == 6 ? tcpPacket(1400) : udpPacket(kApp, 50000, kFar, 443, Bytes(1372, 0x5a));
    for (auto _ : state) benchmark::DoNotOptimize(LocalDNSResolver::query(packet));
}
BENCHMARK(BM_QueryRecognitionRejects)->Arg(6)->Arg(17)->ArgName("protocol");

void BM_AnswerReadingRejects(benchmark::State& state) {
    const RoutingPolicy policy = RoutingPolicy::decode(nlohmann::json{{"direct_domains", {"example.com"}}});
    const Bytes packet = state.range(0) == 6 ? tcpPacket(1400) : udpPacket(kFar, 443, kApp, 50000, Bytes(1372, 0x5a));
    for (auto _ : state) benchmark::DoNotOptimize(DNSRouteResolver::directIPv4Routes(packet, policy));
}
BENCHMARK(BM_AnswerReadingRejects)->Arg(6)->Arg(17)->ArgName("protocol");

void BM_AnswerReadingDirectMatch(benchmark::State& state) {
    const RoutingPolicy policy = RoutingPolicy::decode(nlohmann::json{{"direct_domains", {"example.com"}}});
    const Bytes packet = udpPacket({9, 9, 9, 9}, 53, kApp, 50000,
                                   dnsAnswerMessage(1, "www.example.com",
                                                    {aRecord(pointerTo(12), {203, 0, 113, 1}),
                                                     aRecord(pointerTo(12), {203, 0, 113, 2})}));
    for (auto _ : state) benchmark::DoNotOptimize(DNSRouteResolver::directIPv4Routes(packet, policy));
}
BENCHMARK(BM_AnswerReadingDirectMatch);

// ------------------------------------------------------------ latency on loopback

constexpr const char* kUpstream = "127.0.0.77";

// Answers every query at once: the question echoed with QR set.
class Responder {
public:
    bool start() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        ::inet_pton(AF_INET, kUpstream, &a.sin_addr);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    ~Responder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }

private:
    void serve() {
        uint8_t buffer[1500];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 12) continue;
            buffer[2] |= 0x80;
            ::sendto(fd_, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class LoopbackHost final : public TunnelHost {
public:
    explicit LoopbackHost(AsioWorkQueue& queue) : queue_(queue) {}
    std::optional<ProtocolConfiguration> protocolConfiguration() const override { return std::nullopt; }
    void setTunnelNetworkSettings(std::optional<TunnelNetworkSettings>, ErrorCompletion) override {}
    void cancelTunnelWithError(const TunnelError&) override {}
    std::shared_ptr<UDPSession> createUDPSession(const std::string& host, const std::string& port) override {
        return MarkedUDPSession::create(queue_, host, port, 0);
    }
    std::shared_ptr<TCPConnection> createTCPConnection(const std::string& host, const std::string& port) override {
        return MarkedTCPConnection::create(queue_, host, port, 0);
    }
    std::optional<NetworkPath> defaultPath() const override { return std::nullopt; }

private:
    AsioWorkQueue& queue_;
};

// One batch at a time into the read loop; replies counted.
class Flow final : public PacketFlow {
public:
    explicit Flow(AsioWorkQueue& queue) : queue_(queue) {}
    void readPackets(ReadCompletion completion) override {
        std::lock_guard lock(mutex_);
        reader_ = std::move(completion);
        changed_.notify_all();
    }
    void writePackets(const std::vector<Bytes>& packets, const std::vector<int>&) override {
        std::lock_guard lock(mutex_);
        written_ += packets.size();
        changed_.notify_all();
    }
    // Hands one packet to the read loop and waits for the reply.
    bool roundTrip(const Bytes& packet) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return static_cast<bool>(reader_); })) return false;
        const size_t before = written_;
        queue_.submit([reader = std::exchange(reader_, nullptr), packet] { reader({packet}, {2}); });
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return written_ > before; });
    }

private:
    AsioWorkQueue& queue_;
    std::mutex mutex_;
    std::condition_variable changed_;
    ReadCompletion reader_;
    size_t written_ = 0;
};

double percentile(std::vector<double> samples, double p) {
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, static_cast<size_t>(p * static_cast<double>(samples.size())))];
}

void BM_LocallyAnsweredQueryLatency(benchmark::State& state) {
    Responder responder;
    if (!responder.start()) {
        state.SkipWithError("cannot bind 127.0.0.77:53 (needs root)");
        return;
    }
    AsioWorkQueue queue;
    LoopbackHost host(queue);
    Flow flow(queue);
    sim::MemoryDefaultsStore defaults;
    sim::CapturingLog log;
    auto provider = PacketTunnelProvider::create(Platform{queue, flow, host, defaults, log});
    provider->session = std::make_shared<VantuSession>(1u, Bytes(16, 1), "aes-128-gcm", "10.7.0.2", 1420, 5555, "udp",
                                                       std::vector<std::string>{kUpstream}, std::nullopt);
    queue.startThread();
    queue.submit([provider] { provider->readPackets(); });

    const int client = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in upstream{};
    upstream.sin_family = AF_INET;
    upstream.sin_port = htons(53);
    ::inet_pton(AF_INET, kUpstream, &upstream.sin_addr);
    ::connect(client, reinterpret_cast<sockaddr*>(&upstream), sizeof upstream);

    constexpr int kQueries = 1000;
    std::vector<double> local, direct;
    for (auto _ : state) {
        local.clear();
        direct.clear();
        for (int i = 0; i < kQueries; ++i) {
            const Bytes dns = dnsQueryMessage(static_cast<uint16_t>(i), "web.vantu.test");
            const Bytes packet = udpPacket(kApp, 40000, {100, 100, 100, 100}, 53, dns);
            auto t0 = std::chrono::steady_clock::now();
            if (!flow.roundTrip(packet)) {
                state.SkipWithError("no reply through the provider");
                break;
            }
            local.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());

            uint8_t answer[1500];
            t0 = std::chrono::steady_clock::now();
            if (::send(client, dns.data(), dns.size(), 0) < 0 || ::recv(client, answer, sizeof answer, 0) < 12) {
                state.SkipWithError("no direct reply");
                break;
            }
            direct.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        }
    }
    ::close(client);
    queue.submit([provider] { provider->stopTunnel(1, nullptr); });
    queue.stopAndJoin();
    if (local.size() != kQueries || direct.size() != kQueries) return;
    state.counters["local_median_us"] = percentile(local, 0.5);
    state.counters["local_p99_us"] = percentile(local, 0.99);
    state.counters["direct_median_us"] = percentile(direct, 0.5);
    state.counters["direct_p99_us"] = percentile(direct, 0.99);
    state.counters["added_median_us"] = percentile(local, 0.5) - percentile(direct, 0.5);
}
BENCHMARK(BM_LocallyAnsweredQueryLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vantu

BENCHMARK_MAIN();
