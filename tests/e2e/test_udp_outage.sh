#!/usr/bin/env bash
# Every packet to the server's data port is dropped for 45 s, then allowed
# again. While it is blocked the tunnel is broken but still in place, and
# nothing the client sends to the web host leaves outside it: the client's
# outside veth sees only sealed datagrams to the server's data port. The
# keepalive notices the silence, a recovery rebuilds the channel once the
# path is back, and ping works again, without vantud restarting. Once vantud
# is stopped the same ping goes out directly, which shows that the counter
# sees leaks.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
e2e_start_tunnel
e2e_add_client_counters

topo_in_client ping -c 2 -i 0.3 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no ping through the working tunnel"
# Dropped on the way, at the server's side: a rule in the client's own
# output path would fail each send at once (EPERM) instead of losing it.
topo_in_server nft -f - <<NFT
table ip vantu_outage {
  chain input {
    type filter hook input priority 0; policy accept;
    ip daddr $TOPO_SERVER_OUTSIDE_ADDR udp dport $TOPO_SERVER_PORT counter drop
  }
}
NFT
dropped_at=$(date +%s)
sealed_before=$(e2e_counter sealed)
elsewhere_before=$(e2e_counter elsewhere)

set +e
ping_out=$(topo_in_client ping -c 8 -i 0.25 -W 1 "$TOPO_WEB_ADDR" 2>&1)
set -e
grep -q ' 0 received' <<<"$ping_out" || fail "pings were answered although the server's data port is blocked: $ping_out"
# A TCP connection attempt as well: its SYNs must not escape either.
topo_in_client curl -sS -m 2 "http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/" >/dev/null 2>&1 && fail "curl succeeded through a blocked tunnel"
kill -0 "$TOPO_CLIENT_PID" 2>/dev/null || fail "vantud exited during the measurement; the tunnel was not in place"
sealed=$(($(e2e_counter sealed) - sealed_before))
[ "$sealed" -ge 8 ] || fail "only $sealed sealed datagrams went to the server; the pings did not enter the tunnel"
dropped=$(topo_in_server nft list table ip vantu_outage | awk '/packets/ { for (i = 1; i <= NF; i++) if ($i == "packets") print $(i + 1) }')
[ "$dropped" -ge 8 ] || fail "the server dropped only $dropped datagrams"
grep -q '"GET / ' "$TOPO_RUN_DIR/web.log" && fail "the web host served a request during the block"
[ "$(($(e2e_counter elsewhere) - elsewhere_before))" = 0 ] ||
  fail "packets left the outside veth for an address other than the server's"
ok "pings and curl unanswered with the data port blocked; $sealed sealed datagrams to it, $dropped dropped by the server"

# Traffic for the web host keeps coming during the outage and the recovery.
topo_in_client ping -i 0.5 -W 1 "$TOPO_WEB_ADDR" >"$TOPO_RUN_DIR/outage-ping.log" 2>&1 &
pinger=$!
sleep $((45 - ($(date +%s) - dropped_at)))
topo_in_server nft delete table ip vantu_outage
allowed_at=$(date +%s)
ok "data port blocked for $((allowed_at - dropped_at))s"

recovered=
while [ $(($(date +%s) - allowed_at)) -lt 90 ]; do
  kill -0 "$TOPO_CLIENT_PID" 2>/dev/null || fail "vantud exited during the outage"
  events=$(e2e_recent_events <<<"$(topo_vantuctl "$E2E_BUILD" report 2>/dev/null)")
  if recovered=$(grep -Eo 'UDP data recovery completed (on same session|with fresh session)$' <<<"$events" | tail -n 1); then
    break
  fi
  sleep 0.5
done
[ -n "$recovered" ] || fail "no completed recovery within 90 s of the path coming back"
grep -Eq ' #[0-9]+ data channel failed: keepalive timed out: no server frame for [0-9]+s$' <<<"$events" ||
  fail "the outage was not noticed by the keepalive"
until topo_in_client ping -c 1 -W 1 "$TOPO_WEB_ADDR" >/dev/null 2>&1; do
  [ $(($(date +%s) - allowed_at)) -lt 120 ] || fail "ping does not work again after the recovery"
done
restored=$(($(date +%s) - dropped_at))
kill "$pinger" 2>/dev/null || true
ok "$recovered; ping works again ${restored}s after the outage began ($((restored - 45))s after it ended)"

[ "$(e2e_counter leaked)" = 0 ] ||
  fail "$(e2e_counter leaked) packets for $TOPO_WEB_ADDR left the client outside the tunnel during the outage"
ok "nothing for $TOPO_WEB_ADDR left the client's outside interface unencrypted"

# Control: with the tunnel stopped the client's route to the web host is the
# outside veth, and the same counter sees it.
e2e_stop_client
topo_in_client ping -c 2 -i 0.3 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no direct path after the stop"
[ "$(e2e_counter leaked)" -ge 2 ] || fail "the leak counter missed direct packets; it proves nothing"
ok "control: without the tunnel the counter sees the direct pings"
