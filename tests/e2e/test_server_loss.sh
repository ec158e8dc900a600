#!/usr/bin/env bash
# A server that dies without a word is noticed by the keepalive (no frame
# for more than 35 s, checked every 10 s): vantud gives up, says why on
# stderr, exits 1 and still removes everything it set up.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
cp "$TOPO_RUN_DIR/client-resolv.conf" "$TOPO_RUN_DIR/resolv.before"
e2e_start_tunnel

kill -KILL "$TOPO_SERVER_PID"
killed_at=$(date +%s)
# 35 s of silence, up to 10 s until the next probe, then the failure path
# (a recovery attempt has its own 4 s control deadline and 8 s handshake).
topo_wait_exit "$TOPO_CLIENT_PID" 100 || fail "vantud still runs 100 s after the server died"
elapsed=$(($(date +%s) - killed_at))
[ "$TOPO_EXIT_STATUS" = 1 ] || fail "vantud exited with $TOPO_EXIT_STATUS, expected 1"
[ $elapsed -ge 30 ] || fail "vantud gave up after only ${elapsed}s; the keepalive allows 35 s of silence"
ok "vantud exited 1, ${elapsed}s after the server died"

stderr_text=$(cat "$TOPO_RUN_DIR/vantud.err")
grep -q '^vantud: tunnel failed: ' <<<"$stderr_text" || fail "no failure line on stderr"
failure=$(grep '^vantud: tunnel failed: ' <<<"$stderr_text")
grep -Eq 'keepalive timed out|data channel failed|UDP data recovery failed' <<<"$failure" ||
  fail "the failure line does not say what failed: $failure"
grep -Eq 'data channel failed: keepalive timed out: no server frame for [0-9]+s' <<<"$stderr_text" ||
  fail "the keepalive timeout is not in the log"
ok "stderr: $failure"

e2e_assert_client_clean
cmp -s "$TOPO_RUN_DIR/resolv.before" "$TOPO_RUN_DIR/client-resolv.conf" || fail "resolv.conf was not restored"
ok "everything removed after the failure"

set +e
report=$(topo_vantuctl "$E2E_BUILD" report 2>/dev/null)
set -e
events=$(e2e_recent_events <<<"$report")
grep -Eq ' #[0-9]+ data channel failed: keepalive timed out: no server frame for [0-9]+s$' <<<"$events" ||
  fail "no keepalive failure event in the saved state"
grep -Eq ' #[0-9]+ stopTunnel reason=2 providerFailed$' <<<"$events" || fail "no providerFailed stop event"
grep -q '^lastTunnelFailure=' <<<"$(sed -n '/^last stopped snapshot:$/,$p' <<<"$report")" ||
  fail "the stop snapshot has no lastTunnelFailure line"
ok "the saved state tells the story: keepalive failure, stop with reason 2"
