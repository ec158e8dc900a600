#!/usr/bin/env bash
# Faults on the path between the client and the server.
#
# 1. Random loss: one packet in ten is dropped each way on the link while a
#    download crosses the tunnel. TCP inside the tunnel repairs the loss, so
#    the file arrives intact; the keepalive only needs one frame in 35 s, so
#    the data channel never fails and no recovery starts.
# 2. The client's outside interface goes down. Taking a link down removes
#    its routes, the default route with them, so the default path is there
#    but unsatisfied: the next keepalive probe ends the tunnel (a lost
#    network is not a failed channel, and no recovery is tried). vantud
#    exits 1 and removes everything. Once the link is up again and the
#    default route is back, a new vantud comes up on it.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
cp "$TOPO_RUN_DIR/client-resolv.conf" "$TOPO_RUN_DIR/resolv.before"

# this_run_events: the events after this run's last "startTunnel".
this_run_events() {
  e2e_recent_events <<<"$(topo_vantuctl "$E2E_BUILD" report 2>/dev/null)" |
    awk '/ #[0-9]+ startTunnel$/ { n = 0 } { line[n++] = $0 } END { for (i = 0; i < n; i++) print line[i] }'
}

# Everything of the tunnel is gone and the resolver file is the original.
assert_clean() {
  e2e_assert_client_clean
  cmp -s "$TOPO_RUN_DIR/resolv.before" "$TOPO_RUN_DIR/client-resolv.conf" ||
    fail "$1: resolv.conf was not restored: $(cat "$TOPO_RUN_DIR/client-resolv.conf")"
  local tables
  tables=$(topo_in_client nft list tables | grep -v ' vantu_e2e$' || true)
  [ -z "$tables" ] || fail "$1: nft tables left in the client: $tables"
}

# ---------------------------------------------------------------- 1. loss
e2e_start_tunnel
e2e_add_client_counters
head -c $((3 * 1024 * 1024)) /dev/urandom >"$TOPO_RUN_DIR/www/blob.bin"
want=$(sha256sum <"$TOPO_RUN_DIR/www/blob.bin" | cut -d' ' -f1)

# Dropped in the server's namespace, both ways on the link to the client
# (a drop in the client's own output path would fail the send at once
# instead of losing the packet).
topo_in_server nft -f - <<'NFT'
table ip vantu_loss {
  counter lost { }
  chain in {
    type filter hook prerouting priority -300; policy accept;
    iifname "vs0" numgen random mod 100 < 10 counter name lost drop
  }
  chain out {
    type filter hook postrouting priority 300; policy accept;
    oifname "vs0" numgen random mod 100 < 10 counter name lost drop
  }
}
NFT
# Downloads one after another for 21 s, so that two keepalive probes at
# least (every 10 s) run under the loss, and on (up to 60 s) until the loss
# has dropped enough to have bitten: a drop takes a whole GSO message, so
# slow downloads may see few of them in 21 s.
lost_packets() {
  topo_in_server nft list counter ip vantu_loss lost | awk '/packets/ { for (i = 1; i <= NF; i++) if ($i == "packets") print $(i + 1) }'
}
started=$(date +%s)
downloads=0
while [ $(($(date +%s) - started)) -lt 21 ] ||
  { [ "$(lost_packets)" -le 100 ] && [ $(($(date +%s) - started)) -lt 60 ]; }; do
  rm -f "$TOPO_RUN_DIR/blob.got"
  # A drop here takes a whole GSO message (up to 64 datagrams, a TCP
  # window), so the inner TCP meets burst losses and now and then a chain of
  # retransmission timeouts; the bound leaves room for that, while a
  # download that never completes still fails.
  topo_in_client curl -sS -m 90 -o "$TOPO_RUN_DIR/blob.got" "http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/blob.bin" ||
    fail "download $((downloads + 1)) under 10% loss did not complete"
  got=$(sha256sum <"$TOPO_RUN_DIR/blob.got" | cut -d' ' -f1)
  [ "$got" = "$want" ] ||
    fail "download $((downloads + 1)) differs from the original ($(stat -c %s "$TOPO_RUN_DIR/blob.got") bytes)"
  downloads=$((downloads + 1))
done
took=$(($(date +%s) - started))
lost=$(lost_packets)
topo_in_server nft delete table ip vantu_loss
[ "$lost" -gt 100 ] || fail "only $lost packets were dropped: the loss did not bite"
ok "$downloads downloads of 3 MiB arrived intact through the tunnel in ${took}s while $lost packets were dropped on the link"

kill -0 "$TOPO_CLIENT_PID" || fail "vantud exited under loss"
events=$(this_run_events)
if grep -Eq 'data channel failed|UDP data recovery|terminating tunnel' <<<"$events"; then
  fail "the loss caused a channel failure or a recovery: $(grep -E 'data channel failed|recovery|terminating' <<<"$events")"
fi
[ "$(e2e_counter leaked)" = 0 ] || fail "$(e2e_counter leaked) packets for the web host left outside the tunnel"
topo_in_client ping -c 2 -i 0.3 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no ping after the loss was removed"
ok "no channel failure, no recovery, nothing outside the tunnel; ping works after the loss is removed"

e2e_stop_client
assert_clean "after the loss run"
ok "stopped cleanly after the loss run"

# ---------------------------------------------------------------- 2. link down
topo_start_client "$E2E_BUILD"
topo_wait_applied "$E2E_BUILD" 30 || fail "vantud did not come up for the link test"
topo_in_client ping -c 1 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no ping before the link went down"
# The tunnel stays idle from here on: no send error gets in before the probe.
topo_in_client ip link set vc0 down
down_at=$(date +%s)
[ -z "$(topo_in_client ip route show default)" ] || fail "the default route survived the link going down"
# A probe every 10 s; the first one after the link went down ends it.
topo_wait_exit "$TOPO_CLIENT_PID" 25 || fail "vantud still runs 25 s after the outside link went down"
elapsed=$(($(date +%s) - down_at))
[ "$TOPO_EXIT_STATUS" = 1 ] || fail "vantud exited with $TOPO_EXIT_STATUS after the link went down, expected 1"
ok "vantud exited 1, ${elapsed}s after the outside link went down"

summary='status=unsatisfied expensive=false constrained=false'
grep -Fxq "vantud: tunnel failed: network unavailable during keepalive: $summary" "$TOPO_RUN_DIR/vantud.err" ||
  fail "no failure line naming the unavailable network: $(grep 'tunnel failed' "$TOPO_RUN_DIR/vantud.err" || true)"
events=$(this_run_events)
grep -Eq " #[0-9]+ terminating tunnel: network unavailable during keepalive: $summary$" <<<"$events" ||
  fail "no termination event for the unavailable network: $events"
grep -Eq ' #[0-9]+ stopTunnel reason=2 providerFailed$' <<<"$events" || fail "no providerFailed stop event: $events"
if grep -Eq 'UDP data recovery|data channel failed' <<<"$events"; then
  fail "a lost network must end the tunnel, not start a recovery: $events"
fi
assert_clean "after the link went down"
ok "events: terminating tunnel: network unavailable during keepalive: $summary; stopTunnel reason=2; all removed"

topo_in_client ip link set vc0 up
topo_in_client ip route add default via "$TOPO_SERVER_OUTSIDE_ADDR"
topo_start_client "$E2E_BUILD"
topo_wait_applied "$E2E_BUILD" 30 || fail "vantud did not come up once the link was back"
topo_in_client ping -c 2 -i 0.3 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no ping through the tunnel once the link was back"
e2e_stop_client
assert_clean "after the link came back"
ok "link up again: a new vantud carries traffic and stops cleanly"
