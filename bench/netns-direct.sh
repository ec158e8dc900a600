#!/usr/bin/env bash
# Figures of the direct relays on the demo topology (scripts/netns-topology.sh),
# with the server's policy making the web side (198.51.100.0/24) direct:
#   1. iperf3 TCP throughput, one stream each way, over three paths: through
#      the direct TCP relay, through the tunnel (relays off), and with no
#      tunnel at all (vantud stopped, the server just routes). The paths take
#      turns, round after round, so that whatever else runs on the machine
#      weighs on all three alike; medians, and ratios against no tunnel.
#   2. direct UDP flows: one datagram from each of FLOWS source ports to a
#      UDP echo on the web host, FLOW_RATE new flows a second, the sockets
#      then held open: how many of them the first round (every flow once)
#      answered, how many flows vantud holds ("directUDP active=" in the
#      report), the packets its TUN device dropped meanwhile (tx_dropped:
#      vantud reading too slowly), and its resident memory with all of them
#      open and per idle flow.
#      With BEFORE_BUILD=DIR the same runs for that build's vantud first
#      (another commit built elsewhere), with BEFORE_FLOWS flows: a build
#      that costs megabytes per flow must not exhaust the machine.
#
# Usage: [BEFORE_BUILD=DIR] [SKIP_IPERF=1] [SKIP_UDP=1] bench/netns-direct.sh BUILD_DIR [--quick]   (as root)
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
FLOW_RATE=${FLOW_RATE:-5000}
BEFORE_BUILD=${BEFORE_BUILD:+$(cd "$BEFORE_BUILD" && pwd)}
BEFORE_FLOWS=${BEFORE_FLOWS:-1000}
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
# The sender and vantud take one port each per flow, in the client's
# namespace: room for both, and more.
topo_in_client sysctl -qw net.ipv4.ip_local_port_range="10000 65000"
topo_start_web
topo_start_server "$BUILD"
topo_in_web iperf3 -s -B "$TOPO_WEB_ADDR" >"$TOPO_RUN_DIR/iperf3-server.log" 2>&1 &
topo_in_web python3 -u "$PEERS" serve "$TOPO_WEB_ADDR" "$UDP_ECHO_PORT" 7008 >"$TOPO_RUN_DIR/peers.log" 2>&1 &
topo_wait_tcp "$TOPO_NS_WEB" 5201 10 || { echo "iperf3 server did not start" >&2; exit 1; }
topo_wait_tcp "$TOPO_NS_WEB" 7008 10 || { echo "the UDP echo did not start" >&2; exit 1; }

# start_client true|false [BUILD]: vantud with both relays on or off.
start_client() {
  TOPO_CLIENT_DIRECT_CORE=$1
  TOPO_CLIENT_DIRECT_TCP=$1
  topo_start_client "${2:-$BUILD}"
  topo_wait_applied "${2:-$BUILD}" 30 || exit 1
}
stop_client() {
  kill -TERM "$TOPO_CLIENT_PID"
  topo_wait_exit "$TOPO_CLIENT_PID" 20 || { echo "vantud did not stop" >&2; exit 1; }
}
CLIENT_BUILD=$BUILD
report() { topo_vantuctl "$CLIENT_BUILD" report; }
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
[ -n "${SKIP_IPERF:-}" ] && ROUNDS=0
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

[ "$ROUNDS" -gt 0 ] && python3 - "$ROUNDS" "$IPERF_SECONDS" \
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

# 2. Direct UDP flows.
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$TOPO_CLIENT_PID/status"; }
fds() { find "/proc/$TOPO_CLIENT_PID/fd" -mindepth 1 -maxdepth 1 | wc -l; }
# Packets the kernel could not queue on vantud's TUN device (vantud reading
# too slowly).
tun_drops() { topo_in_client cat "/sys/class/net/$TOPO_CLIENT_TUN/statistics/tx_dropped"; }
udp_counter() { report_line 'directUDP ' | tr ' ' '\n' | sed -n "s/^$1=//p"; }

# udp_flows LABEL BUILD COUNT
udp_flows() {
  local label=$1 build=$2 count=$3
  CLIENT_BUILD=$build
  start_client true "$build"
  # Warm the relay up with a few flows, so that one-off allocations (the
  # event log, the shared receive buffers) stay out of the per-flow figure.
  topo_in_client python3 "$PEERS" udp-flows "$TOPO_WEB_ADDR" "$UDP_ECHO_PORT" 20 0 >/dev/null
  sleep 1
  local rss0 active0 opened0 fds0 drops0 started
  rss0=$(rss_kib)
  active0=$(udp_counter active)
  opened0=$(udp_counter opened)
  fds0=$(fds)
  drops0=$(tun_drops)
  started=$(date +%s%N)
  # Not through a shell function: its subshell would be what $! names, and
  # killing it would leave the sender holding its sockets.
  ip netns exec "$TOPO_NS_CLIENT" python3 -u "$PEERS" udp-flows "$TOPO_WEB_ADDR" "$UDP_ECHO_PORT" "$count" 60 \
    "$FLOW_RATE" >"$TOPO_RUN_DIR/flows.out" 2>&1 &
  local flows_pid=$!
  for _ in $(seq 1200); do
    grep -q '^flows ' "$TOPO_RUN_DIR/flows.out" && break
    kill -0 "$flows_pid" 2>/dev/null || break
    sleep 0.1
  done
  local elapsed_ms=$((($(date +%s%N) - started) / 1000000))
  sleep 1  # the last echoes written, the flows idle
  local line rss1 fds1 drops1 active1 opened
  line=$(report_line 'directUDP ')
  opened=$(udp_counter opened)
  rss1=$(rss_kib)
  fds1=$(fds)
  drops1=$(tun_drops)
  kill "$flows_pid" 2>/dev/null || true
  wait "$flows_pid" 2>/dev/null || true
  active1=$(sed -n 's/^directUDP active=\([0-9]*\) .*/\1/p' <<<"$line")
  local held=$((active1 - active0)) new=$((opened - opened0))
  echo "== direct UDP flows, $label ($build): $count flows offered at $FLOW_RATE/s"
  # The first round offers every flow once, at FLOW_RATE: the flows echoed
  # after it were opened at that rate; the silent ones were sent again.
  echo "  $(cat "$TOPO_RUN_DIR/flows.out"), all done in ${elapsed_ms} ms; vantud opened $new"
  echo "  vantud holds $held new flows (report: $line)"
  echo "  TUN device drops meanwhile: $((drops1 - drops0)); vantud descriptors $fds0 -> $fds1"
  echo "  vantud RSS $rss0 -> $rss1 KiB: +$(((rss1 - rss0) / 1024)) MiB with $held flows open"
  if [ "$held" -gt 0 ]; then
    python3 -c 'import sys; r0, r1, n = map(int, sys.argv[1:]); print(f"  memory per idle flow: {(r1 - r0) * 1024 / n:.0f} bytes of RSS")' \
      "$rss0" "$rss1" "$held"
  fi
  stop_client
}

[ -n "${SKIP_UDP:-}" ] && exit 0
[ -n "$BEFORE_BUILD" ] && udp_flows before "$BEFORE_BUILD" "$BEFORE_FLOWS"
[ -n "$BEFORE_BUILD" ] && udp_flows "this build, as many flows as before" "$BUILD" "$BEFORE_FLOWS"
udp_flows "this build" "$BUILD" "$FLOWS"
