#!/usr/bin/env bash
# Every packet to the server's data port is dropped for 45 s, then allowed
# again. The keepalive notices the silence, a recovery rebuilds the channel
# once the path is back, and ping works again, without vantud restarting.
# Throughout, the tunnel's routes stay in place: nothing for the web host
# leaves the client's outside interface unencrypted.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
e2e_start_tunnel
e2e_add_client_counters

topo_in_client ping -c 1 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no ping before the outage"
# Dropped on the way, at the server's side: a rule in the client's own
# output path would fail each send at once (EPERM) instead of losing it.
topo_in_server nft -f - <<NFT
table ip vantu_outage {
  chain input {
    type filter hook input priority 0; policy accept;
    ip daddr $TOPO_SERVER_OUTSIDE_ADDR udp dport $TOPO_SERVER_PORT drop
  }
}
NFT
dropped_at=$(date +%s)
# Traffic for the web host keeps coming during the outage and the recovery.
topo_in_client ping -i 0.5 -W 1 "$TOPO_WEB_ADDR" >"$TOPO_RUN_DIR/outage-ping.log" 2>&1 &
pinger=$!
sleep 45
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
