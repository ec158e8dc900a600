#!/usr/bin/env bash
# Start time of the tunnel on the demo topology (scripts/netns-topology.sh):
# from starting vantud to "network settings applied" (the event's own time
# stamp, so polling adds nothing), over several starts. Ping RTT and iperf3
# throughput through the tunnel, beside no tunnel and other VPNs, are
# bench/compare.sh's.
#
# Usage: bench/netns-figures.sh BUILD_DIR [--quick]     (as root)
# Use a Release build: the figures of a Debug build say little.
set -euo pipefail

BUILD=$(cd "${1:?usage: $0 BUILD_DIR [--quick]}" && pwd)
QUICK=${2:-}
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../scripts/netns-topology.sh
. "$HERE/../scripts/netns-topology.sh"
if [ "$(id -u)" -ne 0 ]; then
  echo "netns-figures: needs root (network namespaces and TUN devices): sudo $0 $*" >&2
  exit 1
fi
topo_require_root

STARTS=7
if [ "$QUICK" = "--quick" ]; then
  STARTS=3
fi

trap topo_down EXIT
trap 'exit 130' INT TERM
topo_up >/dev/null 2>&1
topo_start_web
topo_start_server "$BUILD"

stop_client() {
  kill -TERM "$TOPO_CLIENT_PID"
  topo_wait_exit "$TOPO_CLIENT_PID" 20 || { echo "vantud did not stop" >&2; exit 1; }
}

# Milliseconds since the epoch of an ISO 8601 UTC time stamp with milliseconds.
epoch_ms() { python3 -c 'import sys, datetime; print(int(datetime.datetime.strptime(sys.argv[1], "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc).timestamp() * 1000))' "$1"; }

summary() { # numbers on stdin -> "median M (min A, max B)"
  python3 -c '
import statistics, sys
v = [float(x) for x in sys.stdin.read().split()]
print(f"median {statistics.median(v):.1f} (min {min(v):.1f}, max {max(v):.1f}, n={len(v)})")'
}

echo "== netns figures: $(nproc) cores, build $BUILD"
echo "   client $TOPO_CLIENT_ADDR -> server $TOPO_SERVER_OUTSIDE_ADDR -> web $TOPO_WEB_ADDR"

startup=""
for _ in $(seq "$STARTS"); do
  rm -rf "$TOPO_CLIENT_STATE"
  spawned=$(($(date +%s%N) / 1000000))
  topo_start_client "$BUILD"
  topo_wait_applied "$BUILD" 30 || exit 1
  stamp=$(topo_vantuctl "$BUILD" report | awk '/ network settings applied$/ { print $1 }' | tail -n 1)
  startup="$startup $(($(epoch_ms "$stamp") - spawned))"
  stop_client
done
echo "start to \"network settings applied\": $(summary <<<"$startup") ms"
