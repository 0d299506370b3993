#!/bin/sh
# Runs an example program against a standalone `garvel sim` on a free port.
# Usage: run_against_sim.sh PATH/TO/garvel PATH/TO/example EXPECTED-LINE
# Passes when the example exits 0 and prints EXPECTED-LINE.
set -u
garvel=$1
example=$2
expected=$3
out=$(mktemp)
"$garvel" sim --login 1234 --password secret --report-delay 50 --quiet >"$out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; rm -f "$out"' EXIT
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^garvel sim: listening on 127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$out"; echo "FAIL: garvel sim printed no port" >&2; exit 1; }
result=$("$example" 127.0.0.1 "$port")
rc=$?
printf '%s\n' "$result"
[ "$rc" -eq 0 ] || { echo "FAIL: the example exited $rc" >&2; exit 1; }
printf '%s\n' "$result" | grep -qxF -- "$expected" || { echo "FAIL: no line '$expected'" >&2; exit 1; }
