#!/bin/sh
# Checks the service unit as the service manager would load it.
#   unit_test.sh UNIT
set -u
unit=$1
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "SKIP: systemd-analyze is not installed (apt-get install systemd)"
  exit 77
fi
out=$(systemd-analyze verify --man=no "$unit" 2>&1)
status=$?
# verify also reports on units of the machine it runs on; only our unit counts.
ours=$(printf '%s\n' "$out" | grep -F "$(basename "$unit")" || true)
if [ $status -ne 0 ] || [ -n "$ours" ]; then
  printf '%s\n' "$out"
  echo "FAIL: systemd-analyze verify $unit"
  exit 1
fi
echo "ok: $unit"
