#!/usr/bin/env bash
# A server that dies without a word is noticed by the keepalive (no frame
# for more than 35 s, checked every 10 s). A server that comes back is
# recovered: the old session is gone with it, so the same-session attempt
# fails and a fresh control session rebuilds the tunnel while vantud keeps
# running. A server that stays dead ends the tunnel once that recovery has
# failed: vantud says why on stderr, exits 1 and removes everything.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
cp "$TOPO_RUN_DIR/client-resolv.conf" "$TOPO_RUN_DIR/resolv.before"
e2e_start_tunnel

# wait_event REGEX SECONDS: until this run's event log has a matching event.
wait_event() {
  local i=0 report
  while [ $i -lt $(($2 * 2)) ]; do
    kill -0 "$TOPO_CLIENT_PID" 2>/dev/null || return 1
    if report=$(topo_vantuctl "$E2E_BUILD" report 2>/dev/null) &&
      grep -Eq "$1" <<<"$(e2e_recent_events <<<"$report")"; then
      return 0
    fi
    sleep 0.5
    i=$((i + 1))
  done
  return 1
}

topo_in_client ping -c 1 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no ping before the server was killed"

# 1. The server is killed and restarted at once.
kill -KILL "$TOPO_SERVER_PID"
wait "$TOPO_SERVER_PID" 2>/dev/null || true
killed_at=$(date +%s)
sleep 2
topo_start_server "$E2E_BUILD" || fail "the server did not restart"
wait_event ' #[0-9]+ UDP data recovery completed with fresh session$' 90 ||
  fail "no recovery with a fresh session within 90 s of the restart"
until topo_in_client ping -c 1 -W 1 "$TOPO_WEB_ADDR" >/dev/null 2>&1; do
  [ $(($(date +%s) - killed_at)) -lt 120 ] || fail "ping does not work again after the recovery"
done
restored=$(($(date +%s) - killed_at))
kill -0 "$TOPO_CLIENT_PID" || fail "vantud exited during the recovery"
report=$(topo_vantuctl "$E2E_BUILD" report)
events=$(e2e_recent_events <<<"$report")
grep -Eq ' #[0-9]+ data channel failed: keepalive timed out: no server frame for [0-9]+s$' <<<"$events" ||
  fail "the loss was not noticed by the keepalive"
grep -Eq ' #[0-9]+ UDP data recovery same-session failed: ' <<<"$events" ||
  fail "no same-session attempt before the fresh session"
ok "server restart: fresh session, ping works again ${restored}s after the kill (vantud kept running)"

# 2. The server is killed and stays dead.
kill -KILL "$TOPO_SERVER_PID"
killed_at=$(date +%s)
# 35 s of silence, up to 10 s until the next probe, an 8 s same-session
# handshake, then the fresh control session fails.
topo_wait_exit "$TOPO_CLIENT_PID" 100 || fail "vantud still runs 100 s after the server died"
elapsed=$(($(date +%s) - killed_at))
[ "$TOPO_EXIT_STATUS" = 1 ] || fail "vantud exited with $TOPO_EXIT_STATUS, expected 1"
[ $elapsed -ge 38 ] || fail "vantud gave up after only ${elapsed}s; keepalive and recovery take longer"
ok "vantud exited 1, ${elapsed}s after the server died for good"

stderr_text=$(cat "$TOPO_RUN_DIR/vantud.err")
failure=$(grep '^vantud: tunnel failed: ' <<<"$stderr_text") || fail "no failure line on stderr"
grep -q 'UDP data recovery failed: fresh control session failed: ' <<<"$failure" ||
  fail "the failure line does not say that the recovery failed: $failure"
ok "stderr: $failure"

e2e_assert_client_clean
cmp -s "$TOPO_RUN_DIR/resolv.before" "$TOPO_RUN_DIR/client-resolv.conf" || fail "resolv.conf was not restored"
ok "everything removed after the failure"

set +e
report=$(topo_vantuctl "$E2E_BUILD" report 2>/dev/null)
set -e
events=$(e2e_recent_events <<<"$report")
grep -Eq ' #[0-9]+ UDP data recovery started attempt=2: keepalive timed out: no server frame for [0-9]+s$' <<<"$events" ||
  fail "no second recovery in the saved state"
grep -Eq ' #[0-9]+ terminating tunnel: UDP data recovery failed: fresh control session failed: ' <<<"$events" ||
  fail "no termination event in the saved state"
grep -Eq ' #[0-9]+ stopTunnel reason=2 providerFailed$' <<<"$events" || fail "no providerFailed stop event"
grep -q '^lastTunnelFailure=UDP data recovery failed: ' <<<"$(sed -n '/^last stopped snapshot:$/,$p' <<<"$report")" ||
  fail "the stop snapshot does not name the failed recovery"
ok "the saved state tells the story: recovery, second loss, failed recovery, stop with reason 2"
