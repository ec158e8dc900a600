#!/usr/bin/env bash
# Figures of the whole tunnel on the demo topology (scripts/netns-topology.sh):
#   1. time from starting vantud to "network settings applied" (the event's
#      own time stamp, so polling adds nothing), over several starts;
#   2. ping RTT client -> web host through the tunnel, and over the same
#      namespaces without it (vantud stopped: the server just forwards);
#   3. iperf3 TCP throughput (one stream, both directions) the same two ways.
# Everything (client, server, iperf3 on both ends) shares this machine's
# cores, so the figures compare paths rather than measure a network.
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
command -v iperf3 >/dev/null || { echo "netns-figures: needs iperf3 (scripts/setup.sh installs it)" >&2; exit 1; }

STARTS=7
PINGS=200
IPERF_SECONDS=10
if [ "$QUICK" = "--quick" ]; then
  STARTS=3
  PINGS=40
  IPERF_SECONDS=3
fi

trap topo_down EXIT
trap 'exit 130' INT TERM
topo_up >/dev/null 2>&1
topo_start_web
topo_start_server "$BUILD"
ip netns exec "$TOPO_NS_WEB" iperf3 -s -B "$TOPO_WEB_ADDR" >"$TOPO_RUN_DIR/iperf3-server.log" 2>&1 &
topo_wait_tcp "$TOPO_NS_WEB" 5201 10 || { echo "iperf3 server did not start" >&2; exit 1; }

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

ping_figures() { # -> "avg X ms, min Y, max Z, mdev W, loss L"
  local out
  out=$(topo_in_client ping -q -c "$PINGS" -i 0.01 -W 2 "$TOPO_WEB_ADDR")
  python3 -c '
import re, sys
text = sys.stdin.read()
loss = re.search(r"([0-9.]+)% packet loss", text).group(1)
mn, avg, mx, mdev = re.search(r"= ([0-9.]+)/([0-9.]+)/([0-9.]+)/([0-9.]+) ms", text).groups()
print(f"avg {avg} ms (min {mn}, max {mx}, mdev {mdev}; loss {loss}%)")' <<<"$out"
}

iperf_figure() { # [-R] -> "X Gbit/s (retransmits N)"
  local json
  json=$(topo_in_client iperf3 -c "$TOPO_WEB_ADDR" -t "$IPERF_SECONDS" -J "$@")
  python3 -c '
import json, sys
d = json.load(sys.stdin)["end"]
bps = d["sum_received"]["bits_per_second"]
retr = d.get("sum_sent", {}).get("retransmits", "-")
print(f"{bps / 1e9:.2f} Gbit/s (retransmits {retr})")' <<<"$json"
}

echo "== netns figures: $(nproc) cores, build $BUILD"
echo "   client $TOPO_CLIENT_ADDR -> server $TOPO_SERVER_OUTSIDE_ADDR -> web $TOPO_WEB_ADDR"

# 1. Start time.
startup=""
for _ in $(seq "$STARTS"); do
  rm -rf "$TOPO_CLIENT_STATE"
  spawned=$(($(date +%s%N) / 1000000))
  topo_start_client "$BUILD"
  topo_wait_applied "$BUILD" 30 || exit 1
  stamp=$(topo_vantuctl "$BUILD" | awk '/ network settings applied$/ { print $1 }' | tail -n 1)
  startup="$startup $(($(epoch_ms "$stamp") - spawned))"
  stop_client
done
echo "start to \"network settings applied\": $(summary <<<"$startup") ms"

# 2 and 3 with the tunnel.
topo_start_client "$BUILD"
topo_wait_applied "$BUILD" 30 || exit 1
topo_in_client ping -q -c 3 -i 0.2 "$TOPO_WEB_ADDR" >/dev/null  # warm up ARP and the path
tunnel_ping=$(ping_figures)
tunnel_up=$(iperf_figure)
tunnel_down=$(iperf_figure -R)
stop_client

# The same namespaces without the tunnel.
topo_in_client ping -q -c 3 -i 0.2 "$TOPO_WEB_ADDR" >/dev/null
plain_ping=$(ping_figures)
plain_up=$(iperf_figure)
plain_down=$(iperf_figure -R)

echo "ping RTT ($PINGS pings)      tunnel: $tunnel_ping"
echo "                           direct: $plain_ping"
echo "iperf3 TCP upload (${IPERF_SECONDS}s)    tunnel: $tunnel_up"
echo "                           direct: $plain_up"
echo "iperf3 TCP download (${IPERF_SECONDS}s)  tunnel: $tunnel_down"
echo "                           direct: $plain_down"
