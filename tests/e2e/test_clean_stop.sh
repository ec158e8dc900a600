#!/usr/bin/env bash
# SIGTERM (and then SIGHUP) stops vantud with exit status 0 and leaves nothing behind: no
# policy rule, no route in its table, no tunnel address or TUN device, the
# resolver file byte for byte as before, no control socket. Afterwards
# vantuctl, finding no daemon, reports from the saved state: the stop event
# and the report taken at the stop.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

cp "$TOPO_RUN_DIR/client-resolv.conf" "$TOPO_RUN_DIR/resolv.before"
rules_before=$(topo_in_client ip rule show)
main_before=$(topo_in_client ip route show table main)
e2e_start_tunnel

# While up, the tunnel really changed all of these; otherwise the checks
# below would prove nothing.
grep -q '^7373:' <<<"$(topo_in_client ip rule show)" || fail "no fwmark rule while the tunnel is up"
[ -n "$(topo_in_client ip route show table 7373)" ] || fail "table 7373 is empty while the tunnel is up"
grep -q '^nameserver 100\.100\.100\.100$' "$TOPO_RUN_DIR/client-resolv.conf" || fail "resolv.conf was not pointed at the tunnel"
[ -S "$TOPO_CLIENT_SOCKET" ] || fail "no control socket while running"
[ "$(stat -c %a "$TOPO_CLIENT_SOCKET")" = 600 ] || fail "control socket mode $(stat -c %a "$TOPO_CLIENT_SOCKET"), expected 600"
ok "tunnel up with rules, routes, resolver and a 0600 control socket"

e2e_stop_client
ok "vantud exited 0 after SIGTERM"

e2e_assert_client_clean
[ "$(topo_in_client ip rule show)" = "$rules_before" ] || fail "policy rules differ from before the tunnel"
[ "$(topo_in_client ip route show table main)" = "$main_before" ] || fail "main table differs from before the tunnel"
cmp -s "$TOPO_RUN_DIR/resolv.before" "$TOPO_RUN_DIR/client-resolv.conf" || fail "resolv.conf was not restored"
ok "no rule, route, address, TUN device, resolver change or socket left"

# With the tunnel gone the client reaches the web host directly again.
topo_in_client curl -sS -m 5 "http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/" >/dev/null || fail "no direct path after stop"
grep -q "^$TOPO_CLIENT_ADDR " <<<"$(tail -n 1 "$TOPO_RUN_DIR/web.log")" || fail "the direct request did not come from $TOPO_CLIENT_ADDR"
ok "direct path restored"

set +e
report=$(topo_vantuctl "$E2E_BUILD" report 2>"$TOPO_RUN_DIR/vantuctl.err")
status=$?
set -e
[ $status -eq 3 ] || fail "vantuctl without a daemon exited $status, expected 3"
grep -q 'vantud is not running' "$TOPO_RUN_DIR/vantuctl.err" || fail "vantuctl did not say the daemon is not running"
grep -q '^session=nil transport=- tunnelIP=- server=' <<<"$report" || fail "offline report shows a session"
grep -q '#8 stopTunnel reason=1 userInitiated$' <<<"$report" || fail "no stop event #8 in the offline report"
[ "$(echo "$report" | grep -c '^last stopped snapshot:$')" = 1 ] || fail "the stop snapshot is not in the offline report once"
snapshot=$(sed -n '/^last stopped snapshot:$/,/^recent events:$/p' <<<"$report")
grep -q '^session=open transport=udp tunnelIP=192\.0\.2\.2' <<<"$snapshot" || fail "the stop snapshot does not show the open session"
ok "vantuctl reports from the saved state (exit 3): stop event and stop snapshot"

# SIGHUP (a closing terminal, a careless kill -HUP) is a stop like SIGTERM,
# not the end of the process with everything left in place.
topo_start_client "$E2E_BUILD"
topo_wait_applied "$E2E_BUILD" 30 || fail "the tunnel did not come up again"
grep -q '^7373:' <<<"$(topo_in_client ip rule show)" || fail "no fwmark rule while the tunnel is up again"
kill -HUP "$TOPO_CLIENT_PID"
topo_wait_exit "$TOPO_CLIENT_PID" 20 || fail "vantud did not exit within 20 s of SIGHUP"
[ "$TOPO_EXIT_STATUS" = 0 ] || fail "vantud exited with $TOPO_EXIT_STATUS after SIGHUP"
e2e_assert_client_clean
[ "$(topo_in_client ip rule show)" = "$rules_before" ] || fail "policy rules differ after SIGHUP"
cmp -s "$TOPO_RUN_DIR/resolv.before" "$TOPO_RUN_DIR/client-resolv.conf" || fail "resolv.conf was not restored after SIGHUP"
ok "SIGHUP stops vantud cleanly with exit 0"
