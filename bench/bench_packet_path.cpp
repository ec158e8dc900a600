// Per-packet cost of the provider's packet path on the simulated platform,
// next to the bare AEAD work it cannot avoid.
//
// Outbound: a batch of 32 IPv4 packets from the packet flow through the read
// loop's classification, the data frame, the seal and the UDP write with its
// completion. Inbound: a batch of 32 sealed units through the UDP read
// handler, open, frame dispatch and the write to the packet flow. Both run
// on a verified channel whose simulated writes complete at once. The
// "Seal"/"Open" benchmarks are the cipher alone on the same frame sizes.

#include <benchmark/benchmark.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "datachannel/crypto/VantuSession.h"
#include "platform/sim/SimPlatform.h"

namespace vantu {
namespace {

constexpr size_t kBatch = 32;
constexpr uint32_t kServerDirection = 0x53324300;

Bytes benchKey() {
    Bytes key(16);
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0x31 * i + 7);
    return key;
}

// A UDP packet to a global address outside any direct route.
Bytes packetOfSize(size_t size) {
    Bytes p(size, 0x5a);
    p[0] = 0x45;
    p[2] = static_cast<uint8_t>(size >> 8);
    p[3] = static_cast<uint8_t>(size);
    p[6] = 0x40;
    p[8] = 64;
    p[9] = 17;
    const uint8_t addresses[8] = {10, 7, 0, 2, 198, 51, 100, 99};
    for (int i = 0; i < 8; ++i) p[12 + i] = addresses[i];
    return p;
}

// A provider with a verified UDP channel and the packet read loop running.
struct Tunnel {
    sim::SimPlatform sim;
    std::shared_ptr<PacketTunnelProvider> provider = PacketTunnelProvider::create(sim.platform());
    std::shared_ptr<VantuSession> session = std::make_shared<VantuSession>(
        0x0a0b0c0du, benchKey(), "aes-128-gcm", "10.7.0.2", 1420, 51820, "udp", std::vector<std::string>{}, std::nullopt);
    uint32_t serverSeq = 1;

    Tunnel() {
        provider->session = session;
        bool verified = false;
        provider->startDataChannel("198.51.100.20", session,
                                   [&verified](std::optional<TunnelError> e) { verified = !e.has_value(); });
        sim.queue.runUntilIdle();
        udp().deliver({serverUnit(Bytes{0x81})});
        sim.queue.runUntilIdle();
        if (!verified) throw std::runtime_error("handshake did not complete");
        provider->readPackets();
    }
    sim::SimUDPSession& udp() { return *sim.host.udpSessions.back(); }
    Bytes serverUnit(const Bytes& frame) {
        const auto nonce = makeNonce(session->sessionID, serverSeq++, kServerDirection);
        Bytes unit(nonce.begin(), nonce.end());
        session->cipher.sealInto(frame.data(), frame.size(), nonce.data(), unit);
        return unit;
    }
};

void BM_Outbound(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    Tunnel tunnel;
    const std::vector<Bytes> batch(kBatch, packetOfSize(size));
    const int64_t sentBefore = tunnel.provider->dataChannel.udpSendCompletions;
    // Like a real socket, the simulated one keeps nothing once sent.
    tunnel.udp().recordWrites = false;
    for (auto _ : state) {
        // The copy stands in for the device read, into buffers the read
        // loop handed back.
        tunnel.sim.packetFlow.injectCopies(batch);
        tunnel.sim.queue.runUntilIdle();
    }
    if (tunnel.provider->dataChannel.udpSendCompletions - sentBefore != static_cast<int64_t>(state.iterations() * kBatch))
        state.SkipWithError("not every packet was sent");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBatch * size));
}

void BM_Inbound(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    Tunnel tunnel;
    Bytes frame{0x82};
    const Bytes packet = packetOfSize(size);
    frame.insert(frame.end(), packet.begin(), packet.end());
    const int64_t delivered = tunnel.provider->dataChannel.tunnelPacketsIn;
    tunnel.sim.packetFlow.recordWrites = false;
    for (auto _ : state) {
        // Fresh sequence numbers every time: the replay window drops a unit
        // it has seen, which would measure the drop instead of the path.
        state.PauseTiming();
        std::vector<Bytes> units;
        for (size_t i = 0; i < kBatch; ++i) units.push_back(tunnel.serverUnit(frame));
        state.ResumeTiming();
        tunnel.udp().deliver(std::move(units));
        tunnel.sim.queue.runUntilIdle();
    }
    if (tunnel.provider->dataChannel.tunnelPacketsIn - delivered != static_cast<int64_t>(state.iterations() * kBatch) ||
        tunnel.sim.packetFlow.writeCount != state.iterations() * kBatch)
        state.SkipWithError("not every unit reached the packet flow");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBatch * size));
}

// The cipher alone on a data frame of the same packet (one type byte more).
void BM_Seal(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const VantuCipher cipher("aes-128-gcm", benchKey());
    const Bytes frame(size + 1, 0x5a);
    Bytes out;
    out.reserve(size + 64);
    uint32_t seq = 1;
    for (auto _ : state) {
        const auto nonce = makeNonce(0x0a0b0c0du, seq++, VantuSession::kClientDirection);
        out.clear();
        cipher.sealInto(frame.data(), frame.size(), nonce.data(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_Open(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const VantuCipher cipher("aes-128-gcm", benchKey());
    const Bytes frame(size + 1, 0x5a);
    const auto nonce = makeNonce(0x0a0b0c0du, 1, kServerDirection);
    Bytes sealed;
    cipher.sealInto(frame.data(), frame.size(), nonce.data(), sealed);
    for (auto _ : state) {
        Bytes plain = cipher.open(sealed.data(), frame.size(), sealed.data() + frame.size(), nonce.data());
        benchmark::DoNotOptimize(plain.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

BENCHMARK(BM_Outbound)->Arg(64)->Arg(512)->Arg(1400);
BENCHMARK(BM_Seal)->Arg(64)->Arg(512)->Arg(1400);
BENCHMARK(BM_Inbound)->Arg(64)->Arg(512)->Arg(1400);
BENCHMARK(BM_Open)->Arg(64)->Arg(512)->Arg(1400);

}  // namespace
}  // namespace vantu

BENCHMARK_MAIN();
