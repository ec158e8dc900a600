#!/usr/bin/env bash
# The direct relays. The server's policy makes the web side (198.51.100.0/24)
# direct, and the client has both relays on: TCP connections and UDP flows
# from the client namespace to the web host are taken out of the TUN device
# by vantud and carried over its own marked sockets, so the web host sees the
# client's outside address and the server's TUN device carries none of it.
# Large and slowly read downloads arrive intact, an upload too; iperf3 runs
# over TCP and UDP; a destination that refuses or cannot be reached gives
# the application a prompt error. With the relays off, the same download
# goes through the tunnel again.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
command -v iperf3 >/dev/null || fail "this needs iperf3 (scripts/setup.sh installs it)"

PEERS="$TOPO_SCRIPTS/netns-direct-peers.py"
UDP_ECHO_PORT=7007
TCP_SINK_PORT=7008
CLOSED_PORT=7009      # nothing listens there
RESET_PORT=7010       # sends 1000 bytes, then resets the connection
NOWHERE=198.51.100.99 # direct, but no host answers for it
TOPO_SERVER_EXTRA_JSON='"routing": {"direct_ips": ["198.51.100.0/24"]}'
TOPO_CLIENT_DIRECT_CORE=true
TOPO_CLIENT_DIRECT_TCP=true

# vantud starts with the usual soft limit of open files and must raise it.
ulimit -Sn 1024

mkdir -p "$TOPO_RUN_DIR/www"
head -c 52428800 /dev/urandom >"$TOPO_RUN_DIR/www/big.bin"
head -c 6291456 /dev/urandom >"$TOPO_RUN_DIR/www/medium.bin"
head -c 4194304 /dev/urandom >"$TOPO_RUN_DIR/upload.bin"
e2e_start_tunnel

topo_in_web python3 -u "$PEERS" serve "$TOPO_WEB_ADDR" "$UDP_ECHO_PORT" "$TCP_SINK_PORT" "$RESET_PORT" >"$TOPO_RUN_DIR/peers.log" 2>&1 &
topo_in_web iperf3 -s -B "$TOPO_WEB_ADDR" >"$TOPO_RUN_DIR/iperf3-server.log" 2>&1 &
topo_wait_tcp "$TOPO_NS_WEB" "$TCP_SINK_PORT" 10 || fail "the direct peers did not start: $(cat "$TOPO_RUN_DIR/peers.log")"
topo_wait_tcp "$TOPO_NS_WEB" 5201 10 || fail "the iperf3 server did not start"

limits=$(awk '/^Max open files/ { print $4, $5 }' "/proc/$TOPO_CLIENT_PID/limits")
read -r soft hard <<<"$limits"
[ "$soft" = "$hard" ] && [ "$soft" != 1024 ] || fail "vantud's open-files limit is soft $soft, hard $hard"
ok "vantud raised its open-files limit from 1024 to $soft"

report() { topo_vantuctl "$E2E_BUILD" report; }
# direct_counter PROTO NAME: a counter of the report's "directTCP ..." or
# "directUDP ..." line.
# awk reads the report to its end: a reader that stops early would break the
# pipe under pipefail.
direct_counter() { report | awk -v p="direct$1 " 'index($0, p) == 1 && !seen++' | tr ' ' '\n' | sed -n "s/^$2=//p"; }
# Bytes through the server's TUN device, both ways.
server_tun_bytes() {
  topo_in_server sh -c "echo \$((\$(cat /sys/class/net/$TOPO_SERVER_TUN/statistics/rx_bytes) + \$(cat /sys/class/net/$TOPO_SERVER_TUN/statistics/tx_bytes)))"
}
sha() { sha256sum "$1" | awk '{print $1}'; }
URL="http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT"

tun0=$(server_tun_bytes)
tcp_opened0=$(direct_counter TCP opened)
tcp_responses0=$(direct_counter TCP responses)

page=$(topo_in_client curl -sS -m 10 "$URL/") || fail "curl to the direct web host failed"
[ "$page" = "hello from $TOPO_WEB_ADDR" ] || fail "unexpected page: $page"
ok "curl $URL/ through the direct relay"
# Each new connection is an event of the report, in its one exact form.
grep -Eq " #[0-9]+ direct core TCP session opened [0-9.]+:[0-9]+->$TOPO_WEB_ADDR:$TOPO_WEB_PORT mss=1380\$" <<<"$(report)" ||
  fail "no 'direct core TCP session opened' event: $(report | grep 'direct core' | tail -3)"
ok "the report has the event of the new connection"

topo_in_client curl -sS -m 60 -o "$TOPO_RUN_DIR/big.got" "$URL/big.bin" || fail "the 50 MB download failed"
[ "$(sha "$TOPO_RUN_DIR/big.got")" = "$(sha "$TOPO_RUN_DIR/www/big.bin")" ] ||
  fail "the 50 MB download differs ($(stat -c %s "$TOPO_RUN_DIR/big.got") bytes arrived)"
ok "50 MB download intact (sha256)"

# A reader slower than the link: its window fills and the relay must wait
# for it to open again, not overrun it.
started=$(date +%s)
topo_in_client curl -sS -m 30 --limit-rate 2M -o "$TOPO_RUN_DIR/medium.got" "$URL/medium.bin" ||
  fail "the rate-limited download failed after $(($(date +%s) - started)) s"
[ "$(sha "$TOPO_RUN_DIR/medium.got")" = "$(sha "$TOPO_RUN_DIR/www/medium.bin")" ] ||
  fail "the rate-limited download differs ($(stat -c %s "$TOPO_RUN_DIR/medium.got") bytes arrived)"
ok "6 MiB download at 2 MB/s intact in $(($(date +%s) - started)) s"

answer=$(topo_in_client timeout 30 python3 "$PEERS" upload "$TOPO_WEB_ADDR" "$TCP_SINK_PORT" "$TOPO_RUN_DIR/upload.bin") ||
  fail "the upload failed: $answer"
[ "$answer" = "$(sha "$TOPO_RUN_DIR/upload.bin")" ] || fail "the sink saw other bytes: '$answer'"
ok "4 MiB upload intact (the sink's sha256 matches)"
answer=$(topo_in_client timeout 30 python3 "$PEERS" upload-half-close "$TOPO_WEB_ADDR" "$TCP_SINK_PORT" "$TOPO_RUN_DIR/upload.bin") ||
  fail "the half-closed upload failed: $answer"
[ "$answer" = "$(sha "$TOPO_RUN_DIR/upload.bin")" ] || fail "after a half-close the sink answered '$answer'"
ok "4 MiB upload, then a half-close: all of it arrived and the answer came back"

iperf_json=$(topo_in_client timeout 20 iperf3 -c "$TOPO_WEB_ADDR" -t 3 -J) || fail "iperf3 TCP upload failed: $iperf_json"
up=$(python3 -c 'import json,sys; print(int(json.load(sys.stdin)["end"]["sum_received"]["bytes"]))' <<<"$iperf_json")
iperf_json=$(topo_in_client timeout 20 iperf3 -c "$TOPO_WEB_ADDR" -t 3 -R -J) || fail "iperf3 TCP download failed: $iperf_json"
down=$(python3 -c 'import json,sys; print(int(json.load(sys.stdin)["end"]["sum_received"]["bytes"]))' <<<"$iperf_json")
[ "$up" -gt 1048576 ] && [ "$down" -gt 1048576 ] || fail "iperf3 moved only $up bytes up, $down down"
ok "iperf3 TCP 3 s each way: $((up / 1048576)) MiB up, $((down / 1048576)) MiB down"

tcp_opened1=$(direct_counter TCP opened)
tcp_responses1=$(direct_counter TCP responses)
# curl x3, the upload, two iperf3 runs of two connections each.
[ $((tcp_opened1 - tcp_opened0)) -ge 8 ] || fail "directTCP opened went from $tcp_opened0 to $tcp_opened1"
# 56 MiB of downloads alone are over 40000 segments of at most 1380 bytes.
[ $((tcp_responses1 - tcp_responses0)) -ge 40000 ] ||
  fail "directTCP responses went from $tcp_responses0 to $tcp_responses1"
[ "$(direct_counter TCP disabled)" = false ] || fail "the TCP relay disabled itself: $(report | grep '^directTCP ')"
ok "directTCP counters grew: opened $tcp_opened0 -> $tcp_opened1, responses $tcp_responses0 -> $tcp_responses1"

udp_opened0=$(direct_counter UDP opened)
udp_responses0=$(direct_counter UDP responses)
echoed=$(topo_in_client timeout 60 python3 "$PEERS" udp-echo "$TOPO_WEB_ADDR" "$UDP_ECHO_PORT" 200 1200)
[ "$echoed" = "echoed 200 of 200" ] || fail "UDP echo: $echoed"
grep -Eq " #[0-9]+ direct core UDP session opened [0-9.]+:[0-9]+->$TOPO_WEB_ADDR:$UDP_ECHO_PORT\$" <<<"$(report)" ||
  fail "no 'direct core UDP session opened' event: $(report | grep 'direct core' | tail -3)"
iperf_json=$(topo_in_client timeout 20 iperf3 -c "$TOPO_WEB_ADDR" -u -b 20M -t 2 -J) || fail "iperf3 UDP failed: $iperf_json"
read -r udp_packets udp_lost < <(python3 -c '
import json, sys
s = json.load(sys.stdin)["end"]["sum"]
print(s["packets"], s["lost_packets"])' <<<"$iperf_json")
[ "$udp_packets" -gt 1000 ] && [ "$udp_lost" -le $((udp_packets / 10)) ] ||
  fail "iperf3 UDP: $udp_lost of $udp_packets datagrams lost"
udp_opened1=$(direct_counter UDP opened)
udp_responses1=$(direct_counter UDP responses)
[ $((udp_opened1 - udp_opened0)) -ge 2 ] && [ $((udp_responses1 - udp_responses0)) -ge 200 ] ||
  fail "directUDP counters: opened $udp_opened0 -> $udp_opened1, responses $udp_responses0 -> $udp_responses1"
ok "UDP echo 200 of 200 and iperf3 UDP ($udp_lost of $udp_packets lost); directUDP opened $udp_opened0 -> $udp_opened1, responses $udp_responses0 -> $udp_responses1"

tun1=$(server_tun_bytes)
# Over 60 MiB went each way between the client and the web host; what the
# server's TUN device carried meanwhile is the tunnel's own chatter.
[ $((tun1 - tun0)) -lt 1048576 ] || fail "the server's TUN device carried $((tun1 - tun0)) bytes meanwhile"
sources=$(awk '/"GET / { print $1 }' "$TOPO_RUN_DIR/web.log" | sort -u)
[ "$sources" = "$TOPO_CLIENT_ADDR" ] || fail "the web host saw requests from: $sources"
ok "the server's TUN device carried $((tun1 - tun0)) bytes meanwhile; the web host saw only $TOPO_CLIENT_ADDR"

# An error where no one answers: the relay resets the application's
# connection as soon as the outside connect fails, well before curl gives up.
# curl_error URL: curl's exit status and the milliseconds it took.
curl_error() {
  local started status=0
  started=$(date +%s%N)
  topo_in_client curl -sS -m 20 -o /dev/null "$1" 2>"$TOPO_RUN_DIR/curl.err" || status=$?
  echo "$status $((($(date +%s%N) - started) / 1000000))"
}
read -r status elapsed < <(curl_error "http://$TOPO_WEB_ADDR:$CLOSED_PORT/")
case $status in
  7 | 52 | 56) ;;
  *) fail "a refused port: curl exit $status after $elapsed ms: $(cat "$TOPO_RUN_DIR/curl.err")" ;;
esac
[ "$elapsed" -lt 3000 ] || fail "a refused port took $elapsed ms to fail"
ok "a refused port fails in $elapsed ms: $(cat "$TOPO_RUN_DIR/curl.err")"
read -r status elapsed < <(curl_error "http://$NOWHERE:$TOPO_WEB_PORT/")
case $status in
  7 | 52 | 56) ;;
  *) fail "an unreachable address: curl exit $status after $elapsed ms: $(cat "$TOPO_RUN_DIR/curl.err")" ;;
esac
[ "$elapsed" -lt 8000 ] || fail "an unreachable address took $elapsed ms to fail"
ok "an unreachable address fails in $elapsed ms: $(cat "$TOPO_RUN_DIR/curl.err")"
# A remote end that resets after some data: the application must see the
# reset, not an orderly end that would pass a cut-off stream for a whole one.
ending=$(topo_in_client timeout 20 python3 "$PEERS" read-to-end "$TOPO_WEB_ADDR" "$RESET_PORT")
[ "$ending" = "reset 1000" ] || fail "a connection the remote end reset ended as: '$ending'"
ok "a reset by the remote end reaches the application as a reset, after its 1000 bytes"
[ "$(direct_counter TCP connectFail)" -ge 2 ] || fail "connect failures not counted: $(report | grep '^directTCP ')"
# All ended by the relay: nothing of them is left in its table.
[ "$(direct_counter TCP active)" = 0 ] || fail "connections left: $(report | grep '^directTCP ')"

e2e_stop_client
e2e_assert_client_clean

# The relays off: the same destination is tunnelled again.
TOPO_CLIENT_DIRECT_CORE=false
TOPO_CLIENT_DIRECT_TCP=false
topo_start_client "$E2E_BUILD"
topo_wait_applied "$E2E_BUILD" 30 || fail "the tunnel did not come up with the relays off"
tun0=$(server_tun_bytes)
web_lines=$(wc -l <"$TOPO_RUN_DIR/web.log")
topo_in_client curl -sS -m 60 -o "$TOPO_RUN_DIR/medium.got" "$URL/medium.bin" || fail "the tunnelled download failed"
[ "$(sha "$TOPO_RUN_DIR/medium.got")" = "$(sha "$TOPO_RUN_DIR/www/medium.bin")" ] || fail "the tunnelled download differs"
tun1=$(server_tun_bytes)
[ $((tun1 - tun0)) -ge 6291456 ] || fail "with the relays off the server's TUN device carried only $((tun1 - tun0)) bytes"
[ "$(direct_counter TCP opened)" = 0 ] || fail "the TCP relay opened connections: $(report | grep '^directTCP ')"
sources=$(tail -n +$((web_lines + 1)) "$TOPO_RUN_DIR/web.log" | awk '/"GET / { print $1 }' | sort -u)
[ "$sources" = "$TOPO_SERVER_INSIDE_ADDR" ] || fail "with the relays off the web host saw: $sources"
ok "with the relays off the download went through the tunnel ($((tun1 - tun0)) bytes on the server's TUN device)"

e2e_stop_client
e2e_assert_client_clean
ok "direct relays"
