#!/usr/bin/env bash
# Starts that cannot succeed end with exit status 1, the provider's error
# text on stderr, and nothing left on the system; a configuration file that
# is not a JSON object, or that no tunnel can start with, is refused with
# status 2 (which the unit does not restart) before anything starts.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
cp "$TOPO_RUN_DIR/client-resolv.conf" "$TOPO_RUN_DIR/resolv.before"

# run_failing_start EXPECTED_STATUS: starts vantud with the current
# client.json (already written) and waits for it to give up.
run_failing_start() {
  ip netns exec "$TOPO_NS_CLIENT" "$E2E_BUILD/vantud" --config "$TOPO_RUN_DIR/client.json" \
    --state-dir "$TOPO_CLIENT_STATE" --control-socket "$TOPO_CLIENT_SOCKET" --tun-name "$TOPO_CLIENT_TUN" \
    --dns resolvconf --resolv-conf "$TOPO_RUN_DIR/client-resolv.conf" \
    >"$TOPO_RUN_DIR/vantud.out" 2>"$TOPO_RUN_DIR/vantud.err" &
  TOPO_CLIENT_PID=$!
  topo_wait_exit "$TOPO_CLIENT_PID" 30 || fail "vantud still runs 30 s into a start that cannot succeed"
  [ "$TOPO_EXIT_STATUS" = "$1" ] || fail "vantud exited $TOPO_EXIT_STATUS, expected $1: $(cat "$TOPO_RUN_DIR/vantud.err")"
  e2e_assert_client_clean
  cmp -s "$TOPO_RUN_DIR/resolv.before" "$TOPO_RUN_DIR/client-resolv.conf" || fail "resolv.conf changed"
}

# 1. No server at all: the control connection is refused.
topo_write_client_config
run_failing_start 1
line=$(grep '^vantud: start failed: ' "$TOPO_RUN_DIR/vantud.err" || true)
[ -n "$line" ] || fail "no start failure line: $(cat "$TOPO_RUN_DIR/vantud.err")"
grep -q "startTunnel failed: " "$TOPO_RUN_DIR/vantud.err" || fail "the provider did not record the start failure"
ok "no server: exit 1, $line"

# 2. A server that does not know the secret.
topo_start_web
topo_start_server "$E2E_BUILD"
sed -i "s/\"$TOPO_SECRET\"/\"not-the-secret\"/" "$TOPO_RUN_DIR/client.json"
run_failing_start 1
line=$(grep '^vantud: start failed: ' "$TOPO_RUN_DIR/vantud.err" || true)
[ -n "$line" ] || fail "no start failure line for a wrong secret"
ok "wrong secret: exit 1, $line"

# 3. A configuration without a server: refused before the start, with the
# provider's own message.
echo '{"secretKey": "x"}' >"$TOPO_RUN_DIR/client.json"
run_failing_start 2
grep -q "^vantud: configuration $TOPO_RUN_DIR/client.json: missing tunnel provider configuration" \
  "$TOPO_RUN_DIR/vantud.err" ||
  fail "unexpected text for a configuration without a server: $(cat "$TOPO_RUN_DIR/vantud.err")"
ok "no server key: exit 2, missing tunnel provider configuration"

# The saved state remembers each failed start and the stop that followed,
# the refused configuration's included, and vantuctl shows the last one
# with vantud gone.
set +e
report=$(topo_vantuctl "$E2E_BUILD" report 2>/dev/null)
status=$(topo_vantuctl "$E2E_BUILD" status 2>/dev/null)
set -e
events=$(e2e_recent_events <<<"$report")
[ "$(grep -c ' startTunnel$' <<<"$events")" = 3 ] || fail "expected three starts in the saved log: $events"
[ "$(grep -c ' stopTunnel reason=2 providerFailed$' <<<"$events")" = 2 ] || fail "expected two providerFailed stops: $events"
grep -q ' startTunnel failed: missing tunnel provider configuration$' <<<"$events" ||
  fail "the configuration error is not in the saved log: $events"
grep -q ' stopTunnel reason=7 configurationFailed$' <<<"$events" || fail "no configurationFailed stop: $events"
grep -q 'last failure startTunnel failed: missing tunnel provider configuration' <<<"$status" ||
  fail "vantuctl status does not show the configuration error: $status"
ok "the saved log holds the three failed starts and their stops; status shows the last"

# 4. Not a JSON object: refused before anything is created.
echo '["server"]' >"$TOPO_RUN_DIR/client.json"
run_failing_start 2
grep -q 'must hold one JSON object' "$TOPO_RUN_DIR/vantud.err" || fail "unexpected text: $(cat "$TOPO_RUN_DIR/vantud.err")"
ok "a JSON list as configuration: exit 2"
