#!/usr/bin/env bash
# Figures of the direct relays on the demo topology (scripts/netns-topology.sh),
# with the server's policy making the web side (198.51.100.0/24) direct:
#   1. iperf3 TCP throughput, one stream each way, over three paths: through
#      the direct TCP relay, through the tunnel (relays off), and with no
#      tunnel at all (vantud stopped, the server just routes). The paths take
#      turns, round after round, so that whatever else runs on the machine
#      weighs on all three alike; medians, and ratios against no tunnel.
#   2. concurrent direct UDP flows: one datagram from each of FLOWS source
#      ports to a UDP echo on the web host; how many flows vantud holds
#      ("directUDP active=" in the report) and its resident memory per flow.
#
# Usage: bench/netns-direct.sh BUILD_DIR [--quick]     (as root)
set -euo pipefail

BUILD=$(cd "${1:?usage: $0 BUILD_DIR [--quick]}" && pwd)
QUICK=${2:-}
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../scripts/netns-topology.sh
. "$HERE/../scripts/netns-topology.sh"
if [ "$(id -u)" -ne 0 ]; then
  echo "netns-direct: needs root (network namespaces and TUN devices): sudo $0 $*" >&2
  exit 1
fi
topo_require_root
command -v iperf3 >/dev/null || { echo "netns-direct: needs iperf3 (scripts/setup.sh installs it)" >&2; exit 1; }

ROUNDS=3
IPERF_SECONDS=3
FLOWS=10000
if [ "$QUICK" = "--quick" ]; then
  ROUNDS=1
  FLOWS=2000
fi
UDP_ECHO_PORT=7007
PEERS="$TOPO_SCRIPTS/netns-direct-peers.py"
TOPO_SERVER_EXTRA_JSON='"routing": {"direct_ips": ["198.51.100.0/24"]}'

trap topo_down EXIT
trap 'exit 130' INT TERM
topo_up >/dev/null 2>&1
topo_start_web
topo_start_server "$BUILD"
topo_in_web iperf3 -s -B "$TOPO_WEB_ADDR" >"$TOPO_RUN_DIR/iperf3-server.log" 2>&1 &
topo_in_web python3 -u "$PEERS" serve "$TOPO_WEB_ADDR" "$UDP_ECHO_PORT" 7008 >"$TOPO_RUN_DIR/peers.log" 2>&1 &
topo_wait_tcp "$TOPO_NS_WEB" 5201 10 || { echo "iperf3 server did not start" >&2; exit 1; }
topo_wait_tcp "$TOPO_NS_WEB" 7008 10 || { echo "the UDP echo did not start" >&2; exit 1; }

# start_client true|false: vantud with both relays on or off.
start_client() {
  TOPO_CLIENT_DIRECT_CORE=$1
  TOPO_CLIENT_DIRECT_TCP=$1
  topo_start_client "$BUILD"
  topo_wait_applied "$BUILD" 30 || exit 1
}
stop_client() {
  kill -TERM "$TOPO_CLIENT_PID"
  topo_wait_exit "$TOPO_CLIENT_PID" 20 || { echo "vantud did not stop" >&2; exit 1; }
}
report() { topo_vantuctl "$BUILD" report; }
# The first report line starting with $1 (awk reads the report to its end:
# a reader that stops early would break the pipe under pipefail).
report_line() { report | awk -v p="$1" 'index($0, p) == 1 && !seen++'; }

iperf_mbps() { # [-R] -> received Mbit/s
  local json
  json=$(topo_in_client iperf3 -c "$TOPO_WEB_ADDR" -t "$IPERF_SECONDS" -J "$@")
  python3 -c 'import json, sys; print(round(json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"] / 1e6))' <<<"$json"
}

declare -A samples=()
run_path() { # NAME
  samples[${1}_up]="${samples[${1}_up]:-} $(iperf_mbps)"
  samples[${1}_down]="${samples[${1}_down]:-} $(iperf_mbps -R)"
}

echo "== direct relays: $(nproc) cores, build $BUILD"
echo "   client $TOPO_CLIENT_ADDR -> server $TOPO_SERVER_OUTSIDE_ADDR -> web $TOPO_WEB_ADDR (direct_ips 198.51.100.0/24)"

# 1. Throughput, the three paths in turn.
for _ in $(seq "$ROUNDS"); do
  start_client true
  run_path direct
  relayed=$(report_line 'directTCP ' | sed -n 's/.* opened=\([0-9]*\) .*/\1/p')
  [ "${relayed:-0}" -ge 4 ] || { echo "the direct path did not use the TCP relay: $(report | grep '^directTCP ')" >&2; exit 1; }
  stop_client
  start_client false
  run_path tunnel
  stop_client
  run_path none
done

python3 - "$ROUNDS" "$IPERF_SECONDS" \
  "${samples[direct_up]}" "${samples[direct_down]}" \
  "${samples[tunnel_up]}" "${samples[tunnel_down]}" \
  "${samples[none_up]}" "${samples[none_down]}" <<'PY'
import statistics, sys
rounds, seconds = sys.argv[1], sys.argv[2]
values = [[float(x) for x in arg.split()] for arg in sys.argv[3:]]
paths = ["direct relay", "tunnel", "no tunnel"]
med = {p: (statistics.median(values[2 * i]), statistics.median(values[2 * i + 1])) for i, p in enumerate(paths)}
raw = {p: (values[2 * i], values[2 * i + 1]) for i, p in enumerate(paths)}
print(f"iperf3 TCP, one stream, {seconds} s, median of {rounds} (Mbit/s; runs in brackets)")
print(f"{'path':<14}{'upload':>9}{'download':>10}   {'up/none':>8}{'down/none':>10}   runs up | down")
none = med["no tunnel"]
for p in paths:
    up, down = med[p]
    print(f"{p:<14}{up:>9.0f}{down:>10.0f}   {up / none[0]:>8.2f}{down / none[1]:>10.2f}   "
          f"{' '.join(f'{v:.0f}' for v in raw[p][0])} | {' '.join(f'{v:.0f}' for v in raw[p][1])}")
d, t = med["direct relay"], med["tunnel"]
print(f"direct relay / tunnel: upload {d[0] / t[0]:.2f}, download {d[1] / t[1]:.2f}")
PY

# 2. Concurrent direct UDP flows.
start_client true
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$TOPO_CLIENT_PID/status"; }
fds() { find "/proc/$TOPO_CLIENT_PID/fd" -mindepth 1 -maxdepth 1 | wc -l; }
# Packets the kernel could not queue on vantud's TUN device (vantud reading
# too slowly).
tun_drops() { topo_in_client cat "/sys/class/net/$TOPO_CLIENT_TUN/statistics/tx_dropped"; }
# Warm the relay up with a few flows, so that one-off allocations (the
# event log, the first buffers) stay out of the per-flow figure.
topo_in_client python3 "$PEERS" udp-flows "$TOPO_WEB_ADDR" "$UDP_ECHO_PORT" 20 0 >/dev/null
sleep 1
rss0=$(rss_kib)
active0=$(report_line 'directUDP ' | sed -n 's/^directUDP active=\([0-9]*\) .*/\1/p')
fds0=$(fds)
drops0=$(tun_drops)
started=$(date +%s%N)
topo_in_client python3 -u "$PEERS" udp-flows "$TOPO_WEB_ADDR" "$UDP_ECHO_PORT" "$FLOWS" 20 >"$TOPO_RUN_DIR/flows.out" 2>&1 &
flows_pid=$!
for _ in $(seq 600); do
  grep -q '^flows ' "$TOPO_RUN_DIR/flows.out" && break
  kill -0 "$flows_pid" 2>/dev/null || break
  sleep 0.1
done
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
line=$(report_line 'directUDP ')
rss1=$(rss_kib)
fds1=$(fds)
drops1=$(tun_drops)
kill "$flows_pid" 2>/dev/null || true
wait "$flows_pid" 2>/dev/null || true
active1=$(sed -n 's/^directUDP active=\([0-9]*\) .*/\1/p' <<<"$line")
held=$((active1 - active0))
echo "direct UDP flows: $(cat "$TOPO_RUN_DIR/flows.out") in ${elapsed_ms} ms"
echo "  vantud holds $held new flows (report: $line)"
echo "  vantud descriptors $fds0 -> $fds1, RSS $rss0 -> $rss1 KiB; TUN device drops meanwhile $((drops1 - drops0))"
if [ "$held" -gt 0 ]; then
  python3 -c 'import sys; r0, r1, n = map(int, sys.argv[1:]); print(f"  memory per flow: {(r1 - r0) * 1024 / n:.0f} bytes of RSS ({(r1 - r0) / 1024:.1f} MiB for {n} flows)")' \
    "$rss0" "$rss1" "$held"
fi
stop_client
