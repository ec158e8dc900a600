// Raw sealing cost per packet size for both data-channel ciphers: the work
// every outbound packet pays on top of framing and the socket send.
#include <benchmark/benchmark.h>

#include "datachannel/crypto/VantuSession.h"

namespace {

void sealPacket(benchmark::State& state, const char* cipherName, size_t keyLength) {
    const vantu::VantuCipher cipher(cipherName, vantu::Bytes(keyLength, 0x5a));
    const vantu::Bytes plain(static_cast<size_t>(state.range(0)), 0xa5);
    vantu::Bytes out;
    out.reserve(plain.size() + 16);
    uint32_t seq = 1;
    for (auto _ : state) {
        const auto nonce = vantu::makeNonce(0x01020304, seq++, vantu::VantuSession::kClientDirection);
        out.clear();
        cipher.sealInto(plain.data(), plain.size(), nonce.data(), out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_SealAES128GCM(benchmark::State& state) { sealPacket(state, "aes-128-gcm", 16); }
void BM_SealChaCha20Poly1305(benchmark::State& state) { sealPacket(state, "chacha20-poly1305", 32); }

// Sealing and opening a whole unit, as the session does per frame.
void BM_SessionRoundTrip(benchmark::State& state) {
    vantu::VantuSession session(0x01020304, vantu::Bytes(16, 0x5a), "aes-128-gcm", "10.7.0.2", 1400, 51820, "udp",
                                {}, std::nullopt);
    const vantu::Bytes plain(static_cast<size_t>(state.range(0)), 0xa5);
    for (auto _ : state) {
        benchmark::DoNotOptimize(session.decrypt(session.encrypt(plain)));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_SealAES128GCM)->Arg(64)->Arg(512)->Arg(1400);
BENCHMARK(BM_SealChaCha20Poly1305)->Arg(64)->Arg(512)->Arg(1400);
BENCHMARK(BM_SessionRoundTrip)->Arg(64)->Arg(1400);

BENCHMARK_MAIN();
