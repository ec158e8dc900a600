#!/usr/bin/env bash
# With the server unreachable (its data port dropped by nft in the server
# namespace) the tunnel is broken but still in place, and nothing the client
# sends to the web host leaves outside it: the client's outside veth sees
# only sealed datagrams to the server's data port. Once vantud is stopped the
# same ping goes out directly, which shows that the counter sees leaks.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
e2e_start_tunnel
e2e_add_client_counters

topo_in_client ping -c 2 -i 0.3 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no ping through the working tunnel"
ok "tunnel works before the block"

topo_in_server nft -f - <<NFT
table ip vantu_e2e_block {
  chain input {
    type filter hook input priority -10; policy accept;
    udp dport $TOPO_SERVER_PORT counter drop
  }
}
NFT
sealed_before=$(e2e_counter sealed)
leaked_before=$(e2e_counter leaked)
elsewhere_before=$(e2e_counter elsewhere)

set +e
ping_out=$(topo_in_client ping -c 8 -i 0.25 -W 1 "$TOPO_WEB_ADDR" 2>&1)
set -e
grep -q ' 0 received' <<<"$ping_out" || fail "pings were answered although the server's data port is blocked: $ping_out"
kill -0 "$TOPO_CLIENT_PID" 2>/dev/null || fail "vantud exited during the measurement; the tunnel was not in place"
ok "8 pings unanswered with the data port blocked, vantud still running"

# A TCP connection attempt as well: its SYNs must not escape either.
topo_in_client curl -sS -m 2 "http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/" >/dev/null 2>&1 && fail "curl succeeded through a blocked tunnel"

leaked=$(($(e2e_counter leaked) - leaked_before))
sealed=$(($(e2e_counter sealed) - sealed_before))
[ "$leaked" = 0 ] || fail "$leaked packets to $TOPO_WEB_ADDR left the client outside the tunnel"
[ "$sealed" -ge 8 ] || fail "only $sealed sealed datagrams went to the server; the pings did not enter the tunnel"
dropped=$(topo_in_server nft list table ip vantu_e2e_block | awk '/packets/ { for (i = 1; i <= NF; i++) if ($i == "packets") print $(i + 1) }')
[ "$dropped" -ge 8 ] || fail "the server dropped only $dropped datagrams"
grep -q '"GET / ' "$TOPO_RUN_DIR/web.log" && fail "the web host served a request during the block"
[ "$(($(e2e_counter elsewhere) - elsewhere_before))" = 0 ] ||
  fail "packets left the outside veth for an address other than the server's"
ok "0 packets to $TOPO_WEB_ADDR on the outside veth; $sealed sealed datagrams to the data port, $dropped dropped by the server"

# Control: with the tunnel stopped the client's route to the web host is the
# outside veth, and the same counter sees it.
e2e_stop_client
topo_in_client ping -c 2 -i 0.3 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no direct path after the stop"
[ "$(($(e2e_counter leaked) - leaked_before))" -ge 2 ] || fail "the leak counter missed direct packets; it proves nothing"
ok "control: without the tunnel the counter sees the direct pings"
