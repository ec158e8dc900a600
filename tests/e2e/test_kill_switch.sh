#!/usr/bin/env bash
# The opt-in kill switch. With --kill-switch the tunnel table holds an
# unreachable default behind the TUN's: a vantud killed with SIGKILL (as
# when it crashes and its unit restarts it) leaves the rules, and traffic to
# the web host fails at once instead of leaving outside the tunnel; the
# restarted daemon reconnects through the block. A start that fails (no
# server) exits 1 and leaves the block; `vantud --cleanup` as the unit runs
# it after such a failure keeps it, and run plainly (an explicit stop) lifts
# it. A normal stop (SIGTERM) removes everything as without the kill switch.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
e2e_start_tunnel --kill-switch
e2e_add_client_counters

blocked() {
  # ping fails at once (the unreachable route: "No route to host"), nothing leaves.
  local before out
  before=$(e2e_counter leaked)
  set +e
  out=$(topo_in_client ping -c 1 -W 2 "$TOPO_WEB_ADDR" 2>&1)
  set -e
  grep -qi 'unreachable\|no route to host' <<<"$out" || fail "$1: ping was not refused at once: $out"
  topo_in_client curl -sS -m 3 "http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/" >/dev/null 2>&1 && fail "$1: curl got through"
  [ "$(($(e2e_counter leaked) - before))" = 0 ] || fail "$1: packets to the web host left outside the tunnel"
  grep -Eq '^7373:' <<<"$(topo_in_client ip rule show)" || fail "$1: the fwmark rule is gone"
}
cleanup_args=(--cleanup --kill-switch --tun-name "$TOPO_CLIENT_TUN" --dns resolvconf
  --resolv-conf "$TOPO_RUN_DIR/client-resolv.conf")

topo_in_client ping -c 2 -i 0.3 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no ping through the tunnel"
grep -q '^unreachable default' <<<"$(topo_in_client ip route show table 7373)" ||
  fail "no unreachable default behind the TUN's: $(topo_in_client ip route show table 7373)"
ok "tunnel up with the kill switch; table 7373 has the unreachable default"

kill -KILL "$TOPO_CLIENT_PID"
topo_wait_exit "$TOPO_CLIENT_PID" 5 || fail "vantud survived SIGKILL"
blocked "after SIGKILL"
ok "a killed vantud leaves traffic blocked: unreachable at once, 0 packets outside"

topo_start_client "$E2E_BUILD" --kill-switch
topo_wait_applied "$E2E_BUILD" 30 || fail "the restarted vantud did not come up through the block"
topo_in_client ping -c 2 -i 0.3 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no ping after the restart"
ok "the restarted vantud reconnects through the block (its marked sockets pass)"

e2e_stop_client
e2e_assert_client_clean
before=$(e2e_counter leaked)
topo_in_client ping -c 1 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no direct path after a normal stop"
[ "$(($(e2e_counter leaked) - before))" -ge 1 ] || fail "the counter missed a direct ping; it proves nothing"
ok "SIGTERM removes everything, the kill switch included"

# A tunnel that fails: no server to connect to.
kill -KILL "$TOPO_SERVER_PID"
topo_wait_exit "$TOPO_SERVER_PID" 5 || fail "vantu-server survived SIGKILL"
topo_start_client "$E2E_BUILD" --kill-switch
topo_wait_exit "$TOPO_CLIENT_PID" 30 || fail "vantud without a server did not give up"
[ "$TOPO_EXIT_STATUS" = 1 ] || fail "a failed start exited $TOPO_EXIT_STATUS, expected 1"
blocked "after a failed start"
topo_in_client ip link show "$TOPO_CLIENT_TUN" >/dev/null 2>&1 && fail "the TUN device outlived the daemon"
ok "a failed tunnel exits 1 and leaves traffic blocked"

SERVICE_RESULT=exit-code EXIT_STATUS=1 topo_in_client "$E2E_BUILD/vantud" "${cleanup_args[@]}" ||
  fail "vantud --cleanup failed after a failure"
blocked "after the unit's cleanup before a restart"
ok "the unit's stop path keeps the block when a restart follows"

topo_in_client "$E2E_BUILD/vantud" "${cleanup_args[@]}" || fail "vantud --cleanup failed"
e2e_assert_client_clean
topo_in_client ping -c 1 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no direct path after the explicit cleanup"
ok "an explicit vantud --cleanup lifts the block"
