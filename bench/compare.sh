#!/usr/bin/env bash
# vantu beside the userspace VPNs people use, in one run on the demo topology
# (scripts/netns-topology.sh): client namespace -> server namespace -> web host.
#
# Paths, one at a time, each from the client namespace to the web host:
#   none         no tunnel: the server namespace just forwards
#   vantu-aes    vantu over UDP, AES-128-GCM
#   vantu-chacha vantu over UDP, ChaCha20-Poly1305
#   vantu-tcp    vantu over the TCP data channel (AES-128-GCM)
#   wireguard-go wireguard-go with its defaults, peer in the server namespace
#   openvpn      OpenVPN 2.6, UDP, AES-128-GCM, self-signed certificates
#                pinned by fingerprint (openvpn-examples(5)), data channel
#                in user space
# Every tunnel has vantu's tunnel MTU, and the server namespace masquerades
# every tunnel subnet towards the web host the same way.
#
# Per path: iperf3 TCP with one stream and with four (-P 4), upload and
# download (-R), the median of three 8-second runs (--quick: one 3-second
# run), and 200 pings at 10 ms (--quick: 50): average and median RTT.
# Prints a table of medians and the ratio of the better vantu UDP figure to
# the faster of wireguard-go and OpenVPN (one stream, each direction), and
# keeps the raw numbers in results.json of a run directory under
# BUILD_DIR/compare/ (COMPARE_OUT overrides it).
#
# Client, server, both iperf3 ends and the other agents on this machine
# share its cores: the figures compare paths on one machine at one time.
#
# Usage: bench/compare.sh BUILD_DIR [--quick]     (as root)
#        COMPARE_PATHS="vantu-aes wireguard-go" bench/compare.sh ...  measures
#        only those paths (names as above); COMPARE_PINGS=N sends N pings
#        per path instead
set -euo pipefail

usage="usage: $0 BUILD_DIR [--quick]"
BUILD=$(cd "${1:?$usage}" && pwd)
QUICK=${2:-}
[ -z "$QUICK" ] || [ "$QUICK" = "--quick" ] || { echo "$usage" >&2; exit 2; }
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../scripts/netns-topology.sh
. "$HERE/../scripts/netns-topology.sh"
if [ "$(id -u)" -ne 0 ]; then
  echo "compare: needs root (network namespaces and TUN devices): sudo $0 $*" >&2
  exit 1
fi
topo_require_root
for tool in iperf3 wireguard-go wg openvpn openssl; do
  command -v "$tool" >/dev/null || { echo "compare: needs $tool (scripts/setup.sh installs it)" >&2; exit 1; }
done
ALL_PATHS="none vantu-aes vantu-chacha vantu-tcp wireguard-go openvpn"
PATHS=${COMPARE_PATHS:-$ALL_PATHS}
for path in $PATHS; do
  grep -qw -- "$path" <<<"$ALL_PATHS" || { echo "compare: unknown path $path (COMPARE_PATHS: $ALL_PATHS)" >&2; exit 2; }
done
if grep -q vantu <<<"$PATHS"; then
  for prog in vantud vantuctl vantu-server; do
    [ -x "$BUILD/$prog" ] || { echo "compare: $BUILD/$prog is missing: build it first" >&2; exit 1; }
  done
fi

RUNS=3
SECONDS_PER_RUN=8
PINGS=200
if [ "$QUICK" = "--quick" ]; then
  RUNS=1
  SECONDS_PER_RUN=3
  PINGS=50
fi
PINGS=${COMPARE_PINGS:-$PINGS}
MTU=$TOPO_TUNNEL_MTU

# The other tunnels' subnets come from the benchmarking range (198.18.0.0/15),
# apart from vantu's; their interface names carry the prefix so that a second
# topology's daemons (and wireguard-go's sockets) never meet these.
BENCH_SUBNET=198.18.0.0/15
WG_CLIENT_IF=${TOPO_PREFIX}wgc
WG_SERVER_IF=${TOPO_PREFIX}wgs
WG_CLIENT_ADDR=198.18.1.2
WG_SERVER_ADDR=198.18.1.1
WG_PORT=51820
OVPN_CLIENT_IF=${TOPO_PREFIX}ovc
OVPN_SERVER_IF=${TOPO_PREFIX}ovs
OVPN_NET=198.18.2.0
OVPN_PORT=1194
WG_SOCKET_DIR=/var/run/wireguard

OUT=${COMPARE_OUT:-$BUILD/compare/$(date -u +%Y%m%dT%H%M%SZ)}
mkdir -p "$OUT"
RAW=$OUT/raw.txt # "path key value" lines, turned into results.json at the end
: >"$RAW"

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # topo_down ends every process in the namespaces (vantud first, politely;
  # wireguard-go and OpenVPN with them) and deletes the namespaces with
  # every link in them, their /etc/netns entries and the topology's run
  # directory, which holds the keys and certificates.
  topo_down
  rm -f "$WG_SOCKET_DIR/$WG_CLIENT_IF.sock" "$WG_SOCKET_DIR/$WG_SERVER_IF.sock"
  rmdir "$WG_SOCKET_DIR" 2>/dev/null || true
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

log() { echo "[compare] $*" >&2; }

# --- measurements -----------------------------------------------------------

IPERF_SERVER_PID=
start_iperf_server() {
  if [ -n "$IPERF_SERVER_PID" ]; then
    kill "$IPERF_SERVER_PID" 2>/dev/null || true
    wait "$IPERF_SERVER_PID" 2>/dev/null || true
  fi
  topo_in_web iperf3 -s -B "$TOPO_WEB_ADDR" >>"$TOPO_RUN_DIR/iperf3-server.log" 2>&1 &
  IPERF_SERVER_PID=$!
  topo_wait_tcp "$TOPO_NS_WEB" 5201 10 || { log "iperf3 server did not start"; return 1; }
}

# iperf3 from the client namespace to the web host; sets MBITS to the
# receiver's Mbit/s, or to nothing when the run failed (then the server is
# restarted, in case it still waits for the lost test).
MBITS=
iperf_run() {
  local json
  MBITS=
  if json=$(topo_in_client timeout $((SECONDS_PER_RUN + 20)) \
    iperf3 -c "$TOPO_WEB_ADDR" -t "$SECONDS_PER_RUN" -J "$@" 2>/dev/null) &&
    MBITS=$(python3 -c '
import json, sys
d = json.load(sys.stdin)
print("%.1f" % (d["end"]["sum_received"]["bits_per_second"] / 1e6))' <<<"$json" 2>/dev/null); then
    return 0
  fi
  MBITS=
  log "iperf3 $* failed"
  start_iperf_server
}

measure_path() {
  local path=$1 label=$2 dev=$3 run kind value mtu route
  route=$(topo_in_client ip -o route get "$TOPO_WEB_ADDR")
  if [ "$dev" != "vc0" ] && ! grep -q " dev $dev " <<<"$route"; then
    log "$path: traffic for the web host does not use $dev: $route"
    return 1
  fi
  mtu=$(topo_in_client cat "/sys/class/net/$dev/mtu")
  printf '%s label %s\n%s dev %s\n%s mtu %s\n' "$path" "$label" "$path" "$dev" "$path" "$mtu" >>"$RAW"
  log "$path: $label (dev $dev, mtu $mtu)"
  topo_in_client ping -q -c 3 -i 0.2 -W 2 "$TOPO_WEB_ADDR" >/dev/null || log "$path: warm-up ping lost"

  local pings
  pings=$(topo_in_client ping -n -c "$PINGS" -i 0.01 -W 2 "$TOPO_WEB_ADDR" || true)
  printf '%s ping_sent %s\n' "$path" "$PINGS" >>"$RAW"
  sed -n 's/.* time=\([0-9.]*\) ms$/\1/p' <<<"$pings" | sed "s/^/$path rtt_ms /" >>"$RAW"

  for run in $(seq "$RUNS"); do
    for kind in up1 down1 up4 down4; do
      case $kind in
        up1) iperf_run ;;
        down1) iperf_run -R ;;
        up4) iperf_run -P 4 ;;
        down4) iperf_run -P 4 -R ;;
      esac
      value=$MBITS
      [ -n "$value" ] && printf '%s %s %s\n' "$path" "$kind" "$value" >>"$RAW"
      log "$path: run $run $kind ${value:-failed} Mbit/s"
    done
  done
}

# --- vantu ------------------------------------------------------------------

vantu_up() { # transport cipher
  local transport=$1 cipher=$2 data_port=$TOPO_SERVER_PORT session
  # The TCP data service needs a port of its own.
  [ "$transport" = tcp ] && data_port=$((TOPO_SERVER_PORT + 1))
  # run_path calls this in a condition, where `set -e` does not act: each
  # step that can fail returns.
  TOPO_SERVER_EXTRA_JSON="\"transport\": \"$transport\", \"cipher\": \"$cipher\"" \
    TOPO_SERVER_DATA_PORT=$data_port topo_start_server "$BUILD" || return 1
  rm -rf "$TOPO_CLIENT_STATE"
  topo_start_client "$BUILD"
  topo_wait_applied "$BUILD" 30 || return 1
  session=$(topo_vantuctl "$BUILD" report | grep '^session=') || return 1
  grep -q "^session=open transport=$transport " <<<"$session" ||
    { log "vantu session is not on $transport: $session"; return 1; }
  grep -q "cipher $cipher," "$TOPO_RUN_DIR/server.log" ||
    { log "vantu-server does not run $cipher: $(head -n 1 "$TOPO_RUN_DIR/server.log")"; return 1; }
}

vantu_down() {
  # The ids are cleared once reaped, so that a later path that failed to
  # start never signals a process that reused one.
  if [ -n "${TOPO_CLIENT_PID:-}" ]; then
    kill -TERM "$TOPO_CLIENT_PID" 2>/dev/null || true
    topo_wait_exit "$TOPO_CLIENT_PID" 20 || { log "vantud did not stop"; return 1; }
    TOPO_CLIENT_PID=
  fi
  if [ -n "${TOPO_SERVER_PID:-}" ]; then
    kill -TERM "$TOPO_SERVER_PID" 2>/dev/null || true
    topo_wait_exit "$TOPO_SERVER_PID" 20 || { log "vantu-server did not stop"; return 1; }
    TOPO_SERVER_PID=
  fi
}

# --- wireguard-go -------------------------------------------------------------

wireguard_up() {
  local dir=$TOPO_RUN_DIR/wireguard
  mkdir -p "$dir"
  (umask 077 && wg genkey >"$dir/client.key" && wg genkey >"$dir/server.key") || return 1
  wg pubkey <"$dir/client.key" >"$dir/client.pub" || return 1
  wg pubkey <"$dir/server.key" >"$dir/server.pub" || return 1
  # -f keeps it in the foreground: a child of this shell, in its namespace.
  topo_in_server wireguard-go -f "$WG_SERVER_IF" >"$dir/server.log" 2>&1 &
  topo_in_client wireguard-go -f "$WG_CLIENT_IF" >"$dir/client.log" 2>&1 &
  local i=0
  until [ -S "$WG_SOCKET_DIR/$WG_SERVER_IF.sock" ] && [ -S "$WG_SOCKET_DIR/$WG_CLIENT_IF.sock" ]; do
    [ $i -lt 50 ] || { log "wireguard-go did not start"; cat "$dir"/*.log >&2; return 1; }
    sleep 0.1
    i=$((i + 1))
  done
  topo_in_server wg set "$WG_SERVER_IF" private-key "$dir/server.key" listen-port "$WG_PORT" \
    peer "$(cat "$dir/client.pub")" allowed-ips "$WG_CLIENT_ADDR/32" &&
    topo_in_server ip addr add "$WG_SERVER_ADDR/24" dev "$WG_SERVER_IF" &&
    topo_in_server ip link set "$WG_SERVER_IF" mtu "$MTU" up &&
    topo_in_client wg set "$WG_CLIENT_IF" private-key "$dir/client.key" \
      peer "$(cat "$dir/server.pub")" endpoint "$TOPO_SERVER_OUTSIDE_ADDR:$WG_PORT" allowed-ips "$TOPO_WEB_ADDR/32" &&
    topo_in_client ip addr add "$WG_CLIENT_ADDR/24" dev "$WG_CLIENT_IF" &&
    topo_in_client ip link set "$WG_CLIENT_IF" mtu "$MTU" up &&
    topo_in_client ip route add "$TOPO_WEB_ADDR/32" dev "$WG_CLIENT_IF"
}

wireguard_down() {
  local pid
  for pid in $(pgrep -x wireguard-go || true); do
    # Only the two in this topology's namespaces.
    if [ "$(ip netns identify "$pid" 2>/dev/null)" = "$TOPO_NS_CLIENT" ] ||
      [ "$(ip netns identify "$pid" 2>/dev/null)" = "$TOPO_NS_SERVER" ]; then
      kill -TERM "$pid" 2>/dev/null || true
    fi
  done
  local i=0
  while topo_in_client test -e "/sys/class/net/$WG_CLIENT_IF" ||
    topo_in_server test -e "/sys/class/net/$WG_SERVER_IF"; do
    [ $i -lt 50 ] || { log "wireguard-go did not stop"; return 1; }
    sleep 0.1
    i=$((i + 1))
  done
  rm -rf "$TOPO_RUN_DIR/wireguard"
}

# --- OpenVPN ------------------------------------------------------------------

openvpn_up() {
  local dir=$TOPO_RUN_DIR/openvpn side
  mkdir -p "$dir"
  for side in server client; do
    (umask 077 && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:secp384r1 \
      -keyout "$dir/$side.key" -out "$dir/$side.crt" -nodes -sha256 -days 1 -subj "/CN=$side" 2>/dev/null) || return 1
  done
  fingerprint() { openssl x509 -fingerprint -sha256 -noout -in "$1" | sed 's/.*=//'; }
  # The data channel stays in user space like the others' (no kernel
  # offload), and both ends pick AES-128-GCM from the default list.
  cat >"$dir/server.conf" <<EOF
cert $dir/server.crt
key $dir/server.key
dh none
dev $OVPN_SERVER_IF
dev-type tun
proto udp
local $TOPO_SERVER_OUTSIDE_ADDR
port $OVPN_PORT
topology subnet
server $OVPN_NET 255.255.255.0
tun-mtu $MTU
data-ciphers AES-128-GCM
disable-dco
peer-fingerprint $(fingerprint "$dir/client.crt")
explicit-exit-notify 1
keepalive 60 300
verb 3
EOF
  cat >"$dir/client.conf" <<EOF
client
remote $TOPO_SERVER_OUTSIDE_ADDR $OVPN_PORT
proto udp
nobind
cert $dir/client.crt
key $dir/client.key
peer-fingerprint $(fingerprint "$dir/server.crt")
dev $OVPN_CLIENT_IF
dev-type tun
tun-mtu $MTU
data-ciphers AES-128-GCM
disable-dco
route $TOPO_WEB_ADDR 255.255.255.255
verb 3
EOF
  topo_in_server openvpn --config "$dir/server.conf" >"$dir/server.log" 2>&1 &
  topo_in_client openvpn --config "$dir/client.conf" >"$dir/client.log" 2>&1 &
  local i=0
  until grep -q 'Initialization Sequence Completed' "$dir/client.log" 2>/dev/null; do
    [ $i -lt 300 ] || { log "OpenVPN did not connect:"; tail -n 20 "$dir"/*.log >&2; return 1; }
    sleep 0.1
    i=$((i + 1))
  done
  # Verbosity 3 (as in the packaged examples) names the negotiated cipher.
  local cipher
  cipher=$(sed -n "s/.*Data Channel: cipher '\([^']*\)'.*/\1/p;T;q" "$dir/client.log")
  [ "$cipher" = AES-128-GCM ] || { log "OpenVPN data channel cipher is '$cipher', not AES-128-GCM"; return 1; }
}

openvpn_down() {
  local pid
  for pid in $(pgrep -x openvpn || true); do
    if [ "$(ip netns identify "$pid" 2>/dev/null)" = "$TOPO_NS_CLIENT" ] ||
      [ "$(ip netns identify "$pid" 2>/dev/null)" = "$TOPO_NS_SERVER" ]; then
      kill -TERM "$pid" 2>/dev/null || true
    fi
  done
  local i=0
  while topo_in_client test -e "/sys/class/net/$OVPN_CLIENT_IF" || topo_in_server test -e "/sys/class/net/$OVPN_SERVER_IF"; do
    [ $i -lt 100 ] || { log "OpenVPN did not stop"; return 1; }
    sleep 0.1
    i=$((i + 1))
  done
  rm -rf "$TOPO_RUN_DIR/openvpn"
}

# --- the run ------------------------------------------------------------------

log "$(nproc) cores, build $BUILD, ${RUNS}x${SECONDS_PER_RUN}s per figure, $PINGS pings, tunnel MTU $MTU"
topo_up >/dev/null 2>&1
# Every tunnel's clients leave towards the web host masqueraded, as vantu's
# do in the topology.
topo_in_server nft add rule ip vantu_topology postrouting ip saddr "$BENCH_SUBNET" oifname vs1 counter masquerade
topo_start_web
start_iperf_server

failed=""
run_path() { # path label dev up-function down-function [args of up]
  local path=$1 label=$2 dev=$3 up=$4 down=$5
  shift 5
  grep -qw -- "$path" <<<"$PATHS" || return 0
  touch "$TOPO_RUN_DIR/path-start"
  if ! "$up" "$@"; then
    log "$path: could not start"
    failed="$failed $path"
    "$down" || true
    return 0
  fi
  measure_path "$path" "$label" "$dev" || failed="$failed $path"
  save_logs "$path"
  "$down" || { log "$path: did not stop cleanly"; exit 1; }
}
# This path's daemon logs (never keys) stay beside the results: those
# written since the path started, less the web host's.
save_logs() {
  mkdir -p "$OUT/logs/$1"
  local f name
  while IFS= read -r f; do
    name=${f#"$TOPO_RUN_DIR"/}
    cp "$f" "$OUT/logs/$1/${name//\//-}"
  done < <(find "$TOPO_RUN_DIR" -type f \( -name '*.log' -o -name vantud.err \) -newer "$TOPO_RUN_DIR/path-start" \
    ! -name web.log ! -name dns.log ! -name iperf3-server.log)
}
none_up() { :; }
none_down() { :; }

run_path none "no tunnel" vc0 none_up none_down
run_path vantu-aes "vantu UDP AES-128-GCM" "$TOPO_CLIENT_TUN" vantu_up vantu_down udp aes-128-gcm
run_path vantu-chacha "vantu UDP ChaCha20-Poly1305" "$TOPO_CLIENT_TUN" vantu_up vantu_down udp chacha20-poly1305
run_path vantu-tcp "vantu TCP AES-128-GCM" "$TOPO_CLIENT_TUN" vantu_up vantu_down tcp aes-128-gcm
run_path wireguard-go "wireguard-go $(wireguard-go --version 2>/dev/null | sed -n 's/^wireguard-go //p')" "$WG_CLIENT_IF" wireguard_up wireguard_down
run_path openvpn "OpenVPN $(openvpn --version | awk 'NR == 1 { print $2 }') UDP AES-128-GCM" "$OVPN_CLIENT_IF" openvpn_up openvpn_down

python3 - "$RAW" "$OUT/results.json" "$RUNS" "$SECONDS_PER_RUN" "$PINGS" "$(nproc)" "$MTU" <<'EOF' | tee "$OUT/table.txt"
import json, statistics, sys
raw, out, runs, seconds, pings, cores, mtu = sys.argv[1:]
order, paths = [], {}
for line in open(raw):
    path, key, value = line.split(" ", 2)
    value = value.rstrip("\n")
    if path not in paths:
        order.append(path)
        paths[path] = {"rtt_ms": [], "up1": [], "down1": [], "up4": [], "down4": []}
    p = paths[path]
    if key in ("label", "dev"):
        p[key] = value
    elif key in ("mtu", "ping_sent"):
        p[key] = int(value)
    else:
        p[key].append(float(value))

def median(v):
    return statistics.median(v) if v else None

for p in paths.values():
    rtt = p["rtt_ms"]
    p["median"] = {k: median(p[k]) for k in ("up1", "down1", "up4", "down4")}
    p["ping"] = {
        "avg_ms": statistics.fmean(rtt) if rtt else None,
        "p50_ms": median(rtt),
        "loss_percent": 100.0 * (p["ping_sent"] - len(rtt)) / p["ping_sent"],
    }

def ratio(direction):
    vantu = [paths[n]["median"][direction] for n in ("vantu-aes", "vantu-chacha") if n in paths]
    others = [paths[n]["median"][direction] for n in ("wireguard-go", "openvpn") if n in paths]
    vantu = [v for v in vantu if v]
    others = [v for v in others if v]
    return max(vantu) / max(others) if vantu and others else None

result = {
    "runs": int(runs), "seconds_per_run": int(seconds), "pings": int(pings),
    "cores": int(cores), "tunnel_mtu": int(mtu),
    "units": {"throughput": "Mbit/s (iperf3 receiver)", "rtt": "ms"},
    "paths": {n: paths[n] for n in order},
    "ratio_best_vantu_udp_to_faster_of_wireguard_openvpn": {"up1": ratio("up1"), "down1": ratio("down1")},
}
with open(out, "w") as f:
    json.dump(result, f, indent=2)

def fmt(v, width, digits=0):
    return f"{v:{width}.{digits}f}" if v is not None else f"{'-':>{width}}"

print(f"medians of {runs} x {seconds}s iperf3 TCP runs (Mbit/s); ping RTT of {pings} pings at 10 ms (ms)")
print(f"{'path':32} {'up 1':>7} {'down 1':>7} {'up 4':>7} {'down 4':>7} {'rtt avg':>8} {'rtt p50':>8} {'loss':>5}")
for n in order:
    p = paths[n]
    m = p["median"]
    print(f"{p['label'][:32]:32} {fmt(m['up1'], 7)} {fmt(m['down1'], 7)} {fmt(m['up4'], 7)} {fmt(m['down4'], 7)}"
          f" {fmt(p['ping']['avg_ms'], 8, 3)} {fmt(p['ping']['p50_ms'], 8, 3)} {p['ping']['loss_percent']:4.0f}%")
r = result["ratio_best_vantu_udp_to_faster_of_wireguard_openvpn"]
print("best vantu UDP / faster of wireguard-go and OpenVPN, one stream:"
      f" upload {fmt(r['up1'], 0, 2)}x, download {fmt(r['down1'], 0, 2)}x")
EOF
log "raw numbers: $OUT/results.json"
if [ -n "$failed" ]; then
  log "failed paths:$failed"
  exit 1
fi
