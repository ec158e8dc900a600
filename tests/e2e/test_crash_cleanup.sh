#!/usr/bin/env bash
# A vantud killed with SIGKILL cannot clean up: its policy rules (IPv4 and
# IPv6), the server route of its table and the rewritten resolv.conf stay.
# The next vantud removes them before it starts, comes up normally with one
# rule of each kind, and after its own stop the resolver file is the
# original from before the crashed run.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

cp "$TOPO_RUN_DIR/client-resolv.conf" "$TOPO_RUN_DIR/resolv.before"
e2e_start_tunnel
kill -KILL "$TOPO_CLIENT_PID"
topo_wait_exit "$TOPO_CLIENT_PID" 10 || fail "vantud survived SIGKILL"

grep -q '^7373:' <<<"$(topo_in_client ip rule show)" || fail "the killed run left no rule; nothing to test"
grep -Eq '^7373:' <<<"$(topo_in_client ip -6 rule show)" || fail "the killed run left no IPv6 rule; nothing to test"
[ -e "$TOPO_RUN_DIR/client-resolv.conf.vantud-backup" ] || fail "the killed run left no resolv.conf backup"
ok "SIGKILL left rules, routes and the rewritten resolv.conf"

# The leftovers black-hole nothing important, but they must go: a new run
# starts from a clean slate and keeps exactly one rule of each kind.
topo_start_client "$E2E_BUILD"
topo_wait_applied "$E2E_BUILD" 30 || fail "vantud did not come up after the crash"
grep -q 'left by an earlier run\|removed 2 policy rules' "$TOPO_RUN_DIR/vantud.err" ||
  fail "vantud did not report removing the stale state"
[ "$(topo_in_client ip rule show | grep -c '^7373:')" = 1 ] || fail "expected exactly one fwmark rule: $(topo_in_client ip rule show)"
[ "$(topo_in_client ip rule show | grep -c '^7372:')" = 1 ] || fail "expected exactly one suppress rule: $(topo_in_client ip rule show)"
[ "$(topo_in_client ip -6 rule show | grep -Ec '^737[23]:')" = 2 ] ||
  fail "after a crash and a restart the IPv6 rules are: $(topo_in_client ip -6 rule show)"
topo_in_client ping -c 2 -i 0.3 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "no traffic through the restarted tunnel"
ok "restarted vantud cleaned up the crashed run and carries traffic"

e2e_stop_client
e2e_assert_client_clean
cmp -s "$TOPO_RUN_DIR/resolv.before" "$TOPO_RUN_DIR/client-resolv.conf" ||
  fail "resolv.conf is not the original from before the crashed run: $(cat "$TOPO_RUN_DIR/client-resolv.conf")"
ok "after the clean stop, the original resolv.conf is back"

# The event log survived the crash: the second start continues its numbers.
report=$(topo_vantuctl "$E2E_BUILD" report 2>/dev/null || true)
[ "$(echo "$report" | e2e_recent_events | grep -c ' startTunnel$')" = 2 ] ||
  fail "the persisted event log does not hold both starts"
ok "the persisted event log holds both starts"
