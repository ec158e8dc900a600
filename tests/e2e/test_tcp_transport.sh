#!/usr/bin/env bash
# A server that grants the TCP data channel: ping, HTTP and an iperf3 run go
# through the tunnel over one TCP connection to the data port, and nothing
# for the web host leaves the client outside it.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
command -v iperf3 >/dev/null || fail "iperf3 is missing (scripts/setup.sh installs it)"
TOPO_SERVER_EXTRA_JSON='"transport": "tcp"'
# The TCP data service cannot share the control service's TCP port: the
# server gets a data port of its own.
DATA_PORT=$((TOPO_SERVER_PORT + 1))
eval "$(declare -f topo_write_server_config | sed '1s/^topo_write_server_config/topology_server_config/')"
topo_write_server_config() {
  topology_server_config
  sed -i "s/\"data_port\": $TOPO_SERVER_PORT,/\"data_port\": $DATA_PORT,/" "$TOPO_RUN_DIR/server.json"
}
e2e_start_tunnel
e2e_add_client_counters
topo_in_client nft add counter ip vantu_e2e stream
topo_in_client nft add rule ip vantu_e2e postrouting oifname vc0 ip daddr "$TOPO_SERVER_OUTSIDE_ADDR" \
  tcp dport "$DATA_PORT" counter name stream

report=$(topo_vantuctl "$E2E_BUILD" report)
grep -q '^session=open transport=tcp ' <<<"$report" || fail "the session is not on TCP: $(grep '^session=' <<<"$report")"
grep -Eq ' #[0-9]+ TCP data channel verified$' <<<"$(e2e_recent_events <<<"$report")" || fail "no verified TCP channel"
ok "the tunnel runs on the TCP data channel"

ping_out=$(topo_in_client ping -c 3 -i 0.3 -W 2 "$TOPO_WEB_ADDR") || fail "ping through the tunnel failed: $ping_out"
grep -q '3 received' <<<"$ping_out" || fail "not every ping was answered: $ping_out"
ok "ping $TOPO_WEB_ADDR: 3 of 3 answered"

page=$(topo_in_client curl -sS -m 10 "http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/") || fail "curl through the tunnel failed"
[ "$page" = "hello from $TOPO_WEB_ADDR" ] || fail "unexpected page: $page"
ok "curl http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/"

topo_in_web iperf3 -s -1 -B "$TOPO_WEB_ADDR" >"$TOPO_RUN_DIR/iperf3-server.log" 2>&1 &
topo_wait_tcp "$TOPO_NS_WEB" 5201 10 || fail "iperf3 server did not start"
iperf_out=$(topo_in_client iperf3 -c "$TOPO_WEB_ADDR" -t 5 -f m) || fail "iperf3 through the tunnel failed: $iperf_out"
rate=$(awk '/receiver$/ { print $(NF - 2), $(NF - 1) }' <<<"$iperf_out")
[ -n "$rate" ] || fail "no iperf3 result: $iperf_out"
ok "iperf3 through the TCP channel: $rate"

kill -0 "$TOPO_CLIENT_PID" || fail "vantud exited"
[ "$(e2e_counter leaked)" = 0 ] || fail "$(e2e_counter leaked) packets left the client outside the tunnel"
[ "$(e2e_counter stream)" -ge 100 ] || fail "only $(e2e_counter stream) segments went to the TCP data port"
ok "nothing to $TOPO_WEB_ADDR left the client's veth; $(e2e_counter stream) segments to the TCP data port did"
report=$(topo_vantuctl "$E2E_BUILD" report)
grep -m 1 '^tcpChannel ' <<<"$report"
