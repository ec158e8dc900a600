#!/usr/bin/env bash
# Ping and HTTP from the client namespace reach the web host through the
# tunnel: the server's TUN carries them and the web host sees the server's
# masquerade address, never the client's own. A 3 MiB download arrives
# intact, so packets near the tunnel MTU survive sealing and forwarding.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
e2e_start_tunnel
e2e_add_client_counters

head -c 3145728 /dev/urandom >"$TOPO_RUN_DIR/www/blob.bin"
tun_rx_before=$(topo_in_server cat "/sys/class/net/$TOPO_SERVER_TUN/statistics/rx_bytes")

ping_out=$(topo_in_client ping -c 3 -i 0.3 -W 2 "$TOPO_WEB_ADDR") || fail "ping through the tunnel failed: $ping_out"
grep -q '3 received' <<<"$ping_out" || fail "not every ping was answered: $ping_out"
ok "ping $TOPO_WEB_ADDR: 3 of 3 answered"

page=$(topo_in_client curl -sS -m 10 "http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/") || fail "curl through the tunnel failed"
[ "$page" = "hello from $TOPO_WEB_ADDR" ] || fail "unexpected page: $page"
ok "curl http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/"

topo_in_client curl -sS -m 30 -o "$TOPO_RUN_DIR/blob.got" "http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/blob.bin" ||
  fail "downloading 3 MiB through the tunnel failed"
cmp -s "$TOPO_RUN_DIR/www/blob.bin" "$TOPO_RUN_DIR/blob.got" || fail "the 3 MiB download arrived damaged"
ok "3 MiB download intact"

tun_rx_after=$(topo_in_server cat "/sys/class/net/$TOPO_SERVER_TUN/statistics/rx_bytes")
# The server's TUN receives what the client sent: 3 pings of 84 bytes and two
# TCP conversations, among them the acknowledgements of 3 MiB. Counted in
# bytes: with segmentation offload a run of segments is one write to the
# device, and the client's kernel acknowledges the runs it receives, so the
# packet count says little; 3 MiB needs at least 48 acknowledgements of 52
# bytes even when every run is a full 64 KiB.
[ $((tun_rx_after - tun_rx_before)) -ge 2700 ] ||
  fail "the server's TUN carried only $((tun_rx_after - tun_rx_before)) bytes"
ok "server TUN carried $((tun_rx_after - tun_rx_before)) bytes from the client"

sources=$(awk '/"GET / { print $1 }' "$TOPO_RUN_DIR/web.log" | sort -u)
[ "$sources" = "$TOPO_SERVER_INSIDE_ADDR" ] || fail "the web host saw requests from: $sources"
ok "the web host saw only the server's masquerade address $TOPO_SERVER_INSIDE_ADDR"

[ "$(e2e_counter leaked)" = 0 ] || fail "$(e2e_counter leaked) packets left the client outside the tunnel"
# 100 sealed datagrams of at least 77 bytes each (headers, nonce, tag and
# the smallest IPv4 packet).
[ "$(e2e_counter sealed bytes)" -ge 7700 ] || fail "only $(e2e_counter sealed bytes) sealed bytes went to the server"
ok "nothing to $TOPO_WEB_ADDR left the client's veth; $(e2e_counter sealed bytes) sealed bytes did"

report=$(topo_vantuctl "$E2E_BUILD" report)
grep -q '^session=open transport=udp tunnelIP=192\.0\.2\.2 server=203\.0\.113\.1$' <<<"$report" ||
  fail "unexpected session line in the report"
ok "vantuctl reports the open session"
