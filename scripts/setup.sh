#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests, the benchmarks and
# the demo need. Safe to run again: apt skips what is already there.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libasio-dev libssl-dev nlohmann-json3-dev libre2-dev libsqlite3-dev
  libnl-3-dev libnl-route-3-dev
  # sd_notify for vantud's readiness and status under systemd
  libsystemd-dev
  # man pages from the programs' --help
  help2man
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # fuzzing: clang with the libFuzzer runtime
  clang libclang-rt-14-dev
  iproute2 iputils-ping curl iperf3 nftables tcpdump python3 procps kmod
  # the demo's certificate for the control port's TLS
  openssl
  # DNS in the end-to-end tests: dnsmasq alone (no system service), dig
  dnsmasq-base bind9-dnsutils
  # bench/compare.sh: the userspace VPNs measured beside the tunnel
  wireguard-go wireguard-tools openvpn
)

missing=()
for p in "${PACKAGES[@]}"; do
  grep -q "install ok installed" <<<"$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then SUDO="sudo"; else
    echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq || true
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
