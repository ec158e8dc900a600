#!/usr/bin/env bash
# vantud's state directory on a small tmpfs that fills up.
#
# 1. The disk fills while the tunnel runs: every save fails, vantud says so
#    on stderr (once per kind of failure, not once per save) and goes on
#    carrying traffic; a stop is as quick and clean as ever.
# 2. A run killed with SIGKILL, then a start with no state database and no
#    room to create one: the state is diagnostics only, so vantud says that
#    it keeps it in memory for this run, cleans up what the killed run left,
#    comes up and carries traffic; its stop removes everything.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
cp "$TOPO_RUN_DIR/client-resolv.conf" "$TOPO_RUN_DIR/resolv.before"

# The tmpfs must go before the topology's run directory is removed.
full_disk_cleanup() {
  local status=$?
  if [ -n "${TOPO_CLIENT_PID:-}" ] && kill -0 "$TOPO_CLIENT_PID" 2>/dev/null; then
    kill -TERM "$TOPO_CLIENT_PID" 2>/dev/null || true
    topo_wait_exit "$TOPO_CLIENT_PID" 20 || true
  fi
  mountpoint -q "$TOPO_CLIENT_STATE" && umount "$TOPO_CLIENT_STATE"
  (exit $status)
  e2e_cleanup
}
trap full_disk_cleanup EXIT

mkdir -p "$TOPO_CLIENT_STATE"
mount -t tmpfs -o size=512k,mode=0700 "vantu-state-$TOPO_PREFIX" "$TOPO_CLIENT_STATE"

fill_disk() {
  dd if=/dev/zero of="$TOPO_CLIENT_STATE/filler.$1" bs=4k status=none 2>/dev/null || true
  [ "$(df --output=avail -k "$TOPO_CLIENT_STATE" | tail -n 1 | tr -d ' ')" = 0 ] || fail "the state disk is not full"
}

# stop_clean WHAT: SIGTERM, exit 0 within the usual time, nothing left.
stop_clean() {
  local began
  began=$(date +%s)
  e2e_stop_client 10
  e2e_assert_client_clean
  cmp -s "$TOPO_RUN_DIR/resolv.before" "$TOPO_RUN_DIR/client-resolv.conf" ||
    fail "$1: resolv.conf was not restored: $(cat "$TOPO_RUN_DIR/client-resolv.conf")"
  ok "$1: stopped in $(($(date +%s) - began))s with exit 0, nothing left behind"
}

traffic() {
  topo_in_client ping -c 2 -i 0.3 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "$1: no ping through the tunnel"
  grep -q hello <<<"$(topo_in_client curl -sS -m 5 "http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/")" ||
    fail "$1: no HTTP answer through the tunnel"
}

# ---------------------------------------------------------------- 1. fills while running
e2e_start_tunnel
traffic "before the disk filled"
fill_disk 1
# Each of these records events, so each save meets the full disk.
for i in 1 2 3 4 5; do
  topo_vantuctl "$E2E_BUILD" send "note $i" >/dev/null 2>&1 || true
  topo_vantuctl "$E2E_BUILD" reset >/dev/null || fail "vantuctl reset failed against a full state disk"
done
traffic "with the state disk full"
kill -0 "$TOPO_CLIENT_PID" || fail "vantud exited when the state disk filled"
status=$(topo_vantuctl "$E2E_BUILD" status) || fail "vantuctl status failed with the state disk full"
grep -q 'up' <<<"$status" || fail "the tunnel is not reported up: $status"
full_lines=$(grep -c 'defaults store .*: .*database or disk is full' "$TOPO_RUN_DIR/vantud.err" || true)
[ "$full_lines" -ge 1 ] || fail "nothing on stderr says that the state cannot be saved: $(tail -n 5 "$TOPO_RUN_DIR/vantud.err")"
[ "$full_lines" -le 2 ] || fail "$full_lines lines about the full disk: one is enough
$(grep 'database or disk is full' "$TOPO_RUN_DIR/vantud.err")"
ok "disk full while running: traffic goes on; stderr: $(grep -m 1 'database or disk is full' "$TOPO_RUN_DIR/vantud.err")"
stop_clean "disk full while running"
# With no daemon, vantuctl reads the saved state from the full disk.
set +e
saved=$(timeout 10 ip netns exec "$TOPO_NS_CLIENT" "$E2E_BUILD/vantuctl" --control-socket "$TOPO_CLIENT_SOCKET" \
  --state-dir "$TOPO_CLIENT_STATE" report 2>&1)
saved_status=$?
set -e
[ "$saved_status" = 3 ] || fail "vantuctl report without a daemon exited $saved_status, expected 3: $saved"
grep -q ' #[0-9]* network settings applied$' <<<"$saved" ||
  fail "the saved report on the full disk lacks the run before the disk filled: $saved"
ok "vantuctl reads the saved state from the full disk (exit 3, the report of the last saved run)"

# ---------------------------------------------------------------- 2. no room at start, after a crash
rm -f "$TOPO_CLIENT_STATE"/filler.*
topo_start_client "$E2E_BUILD"
topo_wait_applied "$E2E_BUILD" 30 || fail "vantud did not come up with room on the disk"
kill -KILL "$TOPO_CLIENT_PID"
topo_wait_exit "$TOPO_CLIENT_PID" 10 || fail "vantud survived SIGKILL"
grep -q '^7373:' <<<"$(topo_in_client ip rule show)" || fail "the killed run left no rule; nothing to test"
[ -e "$TOPO_RUN_DIR/client-resolv.conf.vantud-backup" ] || fail "the killed run left no resolv.conf backup"
rm -f "$TOPO_CLIENT_STATE"/state.db*
fill_disk 2

topo_start_client "$E2E_BUILD"
topo_wait_applied "$E2E_BUILD" 30 || fail "vantud did not come up with no room for its state"
grep -q "vantud: the state database $TOPO_CLIENT_STATE/state.db cannot be used: .*database or disk is full.*; this run keeps its state in memory only" \
  "$TOPO_RUN_DIR/vantud.err" || fail "no clear line about the unusable state database: $(head -n 5 "$TOPO_RUN_DIR/vantud.err")"
grep -q 'left by an earlier run\|removed 2 policy rules' "$TOPO_RUN_DIR/vantud.err" ||
  fail "vantud did not report removing what the killed run left"
[ "$(topo_in_client ip rule show | grep -c '^7373:')" = 1 ] || fail "expected exactly one fwmark rule: $(topo_in_client ip rule show)"
[ "$(topo_in_client ip rule show | grep -c '^7372:')" = 1 ] || fail "expected exactly one suppress rule: $(topo_in_client ip rule show)"
traffic "with the state in memory"
ok "no room at start: $(grep -m 1 'cannot be used' "$TOPO_RUN_DIR/vantud.err" | cut -c1-160)"
stop_clean "state in memory"
