#!/bin/sh
# The garvel tool as a user runs it from the shell: the demo, and send
# against a standalone simulator. Usage: cli_shell_test.sh PATH/TO/garvel
set -u
garvel=$1
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The demo: exit status 0 and every step of the session in its log.
"$garvel" demo >"$work/demo.out" 2>"$work/demo.err" || { cat "$work/demo.out" "$work/demo.err"; fail "garvel demo exited $?"; }
for step in '>>> Connected' '>>> Initialized' '>>> Message submited' '<<< Status report received' \
            '<<< Message received' '>>> Disconnected. Reason: 0'; do
  grep -qF -- "$step" "$work/demo.out" || { cat "$work/demo.out"; fail "demo log lacks '$step'"; }
done

# A standalone simulator on a free port, which it prints first.
"$garvel" sim --login 1234 --password secret --report-delay 50 >"$work/sim.out" 2>&1 &
sim_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^garvel sim: listening on 127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$work/sim.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$work/sim.out"; fail "garvel sim printed no port"; }

"$garvel" send --port "$port" --oadc 1234 --pwd secret --to 0612345678 --text 'Hello' --wait 5 \
  >"$work/send.out" 2>&1 || { cat "$work/send.out"; fail "garvel send exited $?"; }
grep -qF '<<< Status report received' "$work/send.out" || { cat "$work/send.out"; fail "send got no report"; }

"$garvel" send --port "$port" --oadc 1234 --pwd wrong --to 0612345678 --text 'Hello' \
  >"$work/refused.out" 2>&1
rc=$?
[ "$rc" -eq 1 ] || { cat "$work/refused.out"; fail "a refused login exited $rc, not 1"; }
grep -qF 'Initialization failed. Error: 7' "$work/refused.out" || fail "refused login not logged"

"$garvel" send --port "$port" >/dev/null 2>&1
[ $? -eq 2 ] || fail "a usage error does not exit 2"

# The simulator saw both sessions and ends cleanly on SIGTERM.
grep -qF 'submit accepted' "$work/sim.out" || { cat "$work/sim.out"; fail "sim logged no submit"; }
kill "$sim_pid"
wait "$sim_pid"
rc=$?
sim_pid=
[ "$rc" -eq 0 ] || fail "garvel sim exited $rc on SIGTERM"
grep -qF 'garvel sim: stopped' "$work/sim.out" || fail "sim did not stop cleanly"
echo "cli shell test passed"
