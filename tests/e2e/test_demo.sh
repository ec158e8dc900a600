#!/usr/bin/env bash
# The README's first command, `make demo`, run as CI runs everything else:
# it must pass on every run, and its output must show what it claims.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 1 ] || [ ! -d "$1" ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: needs root (network namespaces, TUN devices)" >&2
  exit 77
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
TOPO_PREFIX=${TOPO_PREFIX:-vdemo} "$HERE/../../scripts/demo.sh" "$1" >"$out" 2>&1 || status=$?
if [ $status -ne 0 ]; then
  tail -n 60 "$out" >&2
  echo "FAIL: the demo exited with status $status" >&2
  exit 1
fi
expect() {
  grep -qE -- "$1" "$out" || { tail -n 60 "$out" >&2; echo "FAIL: the demo did not show: $1" >&2; exit 1; }
  echo "ok - $1"
}
expect 'certificate mismatch'
expect '^tunnel up [0-9]+ ms after vantud started'
expect 'neither the secret nor the session key in clear text'
expect '3 packets transmitted, 3 received'
expect 'GET / .*200'
expect '^tunnel up$'
expect '^vantud exited with status 0$'
