#!/usr/bin/env bash
# iperf3 TCP through the tunnel (one stream, upload and download) with the
# TUN devices' segmentation offload off (VANTU_TUN_OFFLOAD=0, for vantud and
# vantu-server alike) and on, alternating round by round on one topology, so
# that a busy machine weighs on both modes alike. Prints each round and the
# median of the per-round ratios on/off.
#
# Usage: bench/netns-tun-offload.sh BUILD_DIR [ROUNDS] [SECONDS]   (as root)
# PERF_DIR=DIR also records call-graph profiles of vantud and vantu-server
# for each mode and direction (perf record -g), first round only.
set -euo pipefail

BUILD=$(cd "${1:?usage: $0 BUILD_DIR [ROUNDS] [SECONDS]}" && pwd)
ROUNDS=${2:-3}
SECONDS_PER_RUN=${3:-5}
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../scripts/netns-topology.sh
. "$HERE/../scripts/netns-topology.sh"
topo_require_root
command -v iperf3 >/dev/null || { echo "netns-tun-offload: needs iperf3 (scripts/setup.sh installs it)" >&2; exit 1; }

trap topo_down EXIT
trap 'exit 130' INT TERM
topo_up >/dev/null 2>&1
topo_start_web
ip netns exec "$TOPO_NS_WEB" iperf3 -s -B "$TOPO_WEB_ADDR" >"$TOPO_RUN_DIR/iperf3-server.log" 2>&1 &
topo_wait_tcp "$TOPO_NS_WEB" 5201 10 || { echo "iperf3 server did not start" >&2; exit 1; }

mbits() { # iperf3 arguments -> Mbit/s received
  topo_in_client iperf3 -c "$TOPO_WEB_ADDR" -t "$SECONDS_PER_RUN" -J "$@" |
    python3 -c 'import json, sys; print(round(json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"] / 1e6))'
}

measure() { # label iperf3-arguments...  (profiles vantud meanwhile when asked)
  local label=$1 perf_pids=""
  shift
  if [ -n "${PERF_DIR:-}" ] && [ "$round" -eq 1 ]; then
    mkdir -p "$PERF_DIR"
    perf record -q -g -F 499 -p "$TOPO_CLIENT_PID" -o "$PERF_DIR/vantud-$label.data" >/dev/null 2>&1 &
    perf_pids=$!
    perf record -q -g -F 499 -p "$TOPO_SERVER_PID" -o "$PERF_DIR/vantu-server-$label.data" >/dev/null 2>&1 &
    perf_pids="$perf_pids $!"
  fi
  mbits "$@"
  for pid in $perf_pids; do
    kill -INT "$pid"
    wait "$pid" 2>/dev/null || true
  done
}

run_mode() { # 0|1 -> "upload download"
  export VANTU_TUN_OFFLOAD=$1
  topo_start_server "$BUILD"
  topo_start_client "$BUILD"
  topo_wait_applied "$BUILD" 30 || exit 1
  topo_in_client ping -q -c 3 -i 0.2 "$TOPO_WEB_ADDR" >/dev/null
  local up down
  up=$(measure "offload$1-up")
  down=$(measure "offload$1-down" -R)
  kill -TERM "$TOPO_CLIENT_PID"
  topo_wait_exit "$TOPO_CLIENT_PID" 20 || { echo "vantud did not stop" >&2; exit 1; }
  kill -TERM "$TOPO_SERVER_PID"
  topo_wait_exit "$TOPO_SERVER_PID" 20 || { echo "vantu-server did not stop" >&2; exit 1; }
  echo "$up $down"
}

echo "== TUN offload off/on: $(nproc) cores, $ROUNDS rounds of ${SECONDS_PER_RUN}s, build $BUILD"
results=""
for round in $(seq "$ROUNDS"); do
  read -r off_up off_down <<<"$(run_mode 0)"
  read -r on_up on_down <<<"$(run_mode 1)"
  echo "round $round  upload off $off_up on $on_up Mbit/s   download off $off_down on $on_down Mbit/s"
  results="$results $off_up $on_up $off_down $on_down"
done
python3 - $results <<'PY'
import statistics, sys
v = [float(x) for x in sys.argv[1:]]
rounds = [v[i:i + 4] for i in range(0, len(v), 4)]
for name, a, b in (("upload", 0, 1), ("download", 2, 3)):
    off = statistics.median(r[a] for r in rounds)
    on = statistics.median(r[b] for r in rounds)
    ratio = statistics.median(r[b] / r[a] for r in rounds)
    print(f"{name:9s} median off {off:.0f} Mbit/s, on {on:.0f} Mbit/s, ratio on/off per round: median {ratio:.2f}")
PY
