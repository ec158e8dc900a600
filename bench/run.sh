#!/usr/bin/env bash
# The benchmarks: per-packet cost of the AEAD and of the provider's packet
# path (any user), then (root only: namespaces and TUN devices) vantu beside
# no tunnel, wireguard-go and OpenVPN, the tunnel's start time and the
# direct relays' figures.
set -euo pipefail
BUILD=${1:-build/release}
cd "$(dirname "$0")/.."
"$BUILD/bench_aead" --benchmark_min_time=0.2
"$BUILD/bench_packet_path" --benchmark_min_time=0.2
"$BUILD/bench_dns" --benchmark_min_time=0.2
if [ "$(id -u)" -eq 0 ]; then
  ./bench/compare.sh "$BUILD"
  ./bench/netns-figures.sh "$BUILD"
  ./bench/netns-direct.sh "$BUILD"
else
  echo "bench: skipping the namespace figures (they need root: sudo make bench)"
fi
