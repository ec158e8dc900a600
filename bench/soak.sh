#!/usr/bin/env bash
# Soak: iperf3 through the tunnel for a long while (both directions at once)
# on the namespace topology of scripts/netns-topology.sh, with the resident
# memory (VmRSS) and the open descriptor count of vantud and vantu-server
# sampled every second into a CSV. At the end it prints, per process, the
# averages over the first and the last minute, the maximum and the growth,
# and fails when either process grew: RSS by more than SOAK_MAX_RSS_GROWTH_KB
# (default 4096) between the first- and last-minute averages, or the
# descriptor count at all (the lowest count of the last minute above the
# lowest of the first: a leak raises the floor, a socket that comes and goes
# does not).
#
# Usage: bench/soak.sh BUILD_DIR [SECONDS]     (as root; SECONDS default 600)
# The windows are a minute long, or a third of the run when it is shorter
# than three minutes. The CSV (time_s,vantud_rss_kb,vantud_fds,
# server_rss_kb,server_fds) is written to soak.csv in the run directory and
# copied to BUILD_DIR/soak-<time>.csv before the topology is removed.
# SOAK_BITRATE caps iperf3 (for example 200M; default: no cap).
set -euo pipefail

BUILD=$(cd "${1:?usage: $0 BUILD_DIR [SECONDS]}" && pwd)
SECONDS_TOTAL=${2:-600}
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../scripts/netns-topology.sh
. "$HERE/../scripts/netns-topology.sh"
if [ "$(id -u)" -ne 0 ]; then
  echo "soak: needs root (network namespaces and TUN devices): sudo $0 $*" >&2
  exit 1
fi
topo_require_root
command -v iperf3 >/dev/null || { echo "soak: needs iperf3 (scripts/setup.sh installs it)" >&2; exit 1; }
if ! [[ "$SECONDS_TOTAL" =~ ^[0-9]+$ ]] || [ "$SECONDS_TOTAL" -lt 6 ]; then
  echo "soak: SECONDS must be a whole number of at least 6" >&2
  exit 2
fi

CSV_KEPT="$BUILD/soak-$(date -u +%Y%m%dT%H%M%SZ).csv"
finish() {
  local status=$?
  trap - EXIT
  if [ -s "$TOPO_RUN_DIR/soak.csv" ] && cp "$TOPO_RUN_DIR/soak.csv" "$CSV_KEPT"; then echo "CSV: $CSV_KEPT"; fi
  # A failed verdict is explained above; any other failure shows vantud's side.
  if [ $status -ne 0 ] && [ -z "${verdict:-}" ] && [ -s "$TOPO_RUN_DIR/vantud.err" ]; then
    echo "---- vantud.err (last 20 lines)" >&2
    tail -n 20 "$TOPO_RUN_DIR/vantud.err" >&2
  fi
  topo_down
  exit $status
}
trap finish EXIT
trap 'exit 130' INT TERM

topo_up >/dev/null 2>&1
topo_start_web
topo_start_server "$BUILD"
ip netns exec "$TOPO_NS_WEB" iperf3 -s -B "$TOPO_WEB_ADDR" >"$TOPO_RUN_DIR/iperf3-server.log" 2>&1 &
topo_wait_tcp "$TOPO_NS_WEB" 5201 10 || { echo "soak: the iperf3 server did not start" >&2; exit 1; }
topo_start_client "$BUILD"
topo_wait_applied "$BUILD" 30 || exit 1
# `ip netns exec` runs the program in its own process, so these are the
# daemons' own ids.
vantud_pid=$TOPO_CLIENT_PID
server_pid=$TOPO_SERVER_PID
for pid in $vantud_pid $server_pid; do
  [ -r "/proc/$pid/status" ] || { echo "soak: process $pid is gone" >&2; exit 1; }
done

# rss_kb PID, fds PID: one sample; empty when the process has gone.
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || true; }
fds() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }

echo "== soak: ${SECONDS_TOTAL}s of iperf3 (both directions) through the tunnel, build $BUILD"
iperf_args=(-c "$TOPO_WEB_ADDR" -t "$SECONDS_TOTAL" --bidir -J)
[ -n "${SOAK_BITRATE:-}" ] && iperf_args+=(-b "$SOAK_BITRATE")
topo_in_client iperf3 "${iperf_args[@]}" >"$TOPO_RUN_DIR/iperf3.json" 2>"$TOPO_RUN_DIR/iperf3.err" &
iperf_pid=$!

echo "time_s,vantud_rss_kb,vantud_fds,server_rss_kb,server_fds" >"$TOPO_RUN_DIR/soak.csv"
start_ns=$(date +%s%N)
for ((i = 0; i < SECONDS_TOTAL; i++)); do
  # Samples on whole seconds from the start, whatever a sample costs.
  next_ns=$((start_ns + (i + 1) * 1000000000))
  now_ns=$(date +%s%N)
  [ "$next_ns" -gt "$now_ns" ] && sleep "$(printf '0.%09d' $((next_ns - now_ns)))"
  vr=$(rss_kb "$vantud_pid")
  sr=$(rss_kb "$server_pid")
  [ -n "$vr" ] || { echo "soak: vantud exited after ${i}s" >&2; exit 1; }
  [ -n "$sr" ] || { echo "soak: vantu-server exited after ${i}s" >&2; exit 1; }
  echo "$((i + 1)),$vr,$(fds "$vantud_pid"),$sr,$(fds "$server_pid")" >>"$TOPO_RUN_DIR/soak.csv"
done

# iperf3 ends by itself at SECONDS; a little slack for its final exchange.
topo_wait_exit "$iperf_pid" 20 || { echo "soak: iperf3 did not finish" >&2; kill "$iperf_pid"; exit 1; }
[ "$TOPO_EXIT_STATUS" = 0 ] || { echo "soak: iperf3 failed: $(tail -n 5 "$TOPO_RUN_DIR/iperf3.err")" >&2; exit 1; }
kill -0 "$vantud_pid" 2>/dev/null || { echo "soak: vantud exited during the soak" >&2; exit 1; }

verdict=1
python3 - "$TOPO_RUN_DIR/iperf3.json" "$TOPO_RUN_DIR/soak.csv" "${SOAK_MAX_RSS_GROWTH_KB:-4096}" <<'PY'
import csv, json, sys

iperf_path, csv_path, max_rss_growth = sys.argv[1], sys.argv[2], int(sys.argv[3])
end = json.load(open(iperf_path))["end"]
upload = end["sum_received"]["bits_per_second"] / 1e6
reverse = end.get("sum_received_bidir_reverse", {}).get("bits_per_second")
download = f"{reverse / 1e6:.0f} Mbit/s" if reverse is not None else "n/a"
rows = list(csv.DictReader(open(csv_path)))
total = len(rows)
window = min(60, total // 3)
first, last = rows[:window], rows[-window:]
print(f"iperf3 --bidir through the tunnel: upload {upload:.0f} Mbit/s, download {download} (received, averaged over the run)")
print(f"{total} samples; windows of {window} s (first: 1-{window} s, last: {total - window + 1}-{total} s)")

def col(sample, name):
    return [int(r[name]) for r in sample]

failures = []
for proc, rss_name, fd_name in (("vantud", "vantud_rss_kb", "vantud_fds"),
                                ("vantu-server", "server_rss_kb", "server_fds")):
    rss_first = sum(col(first, rss_name)) / window
    rss_last = sum(col(last, rss_name)) / window
    rss_max = max(col(rows, rss_name))
    rss_growth = rss_last - rss_first
    fd_first = sum(col(first, fd_name)) / window
    fd_last = sum(col(last, fd_name)) / window
    fd_max = max(col(rows, fd_name))
    fd_growth = min(col(last, fd_name)) - min(col(first, fd_name))
    print(f"{proc:13s} RSS kB: first {rss_first:.0f}, last {rss_last:.0f}, max {rss_max}, growth {rss_growth:+.0f}")
    print(f"{'':13s} fds:    first {fd_first:.1f}, last {fd_last:.1f}, max {fd_max}, growth {fd_growth:+d} (lowest of last minus lowest of first)")
    if rss_growth > max_rss_growth:
        failures.append(f"{proc} RSS grew by {rss_growth:.0f} kB (more than {max_rss_growth} kB)")
    if fd_growth > 0:
        failures.append(f"{proc} holds {fd_growth} more descriptors at the end")
for failure in failures:
    print(f"FAIL: {failure}")
print("soak: flat" if not failures else "soak: growth found")
sys.exit(1 if failures else 0)
PY
