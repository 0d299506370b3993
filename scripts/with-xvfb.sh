#!/usr/bin/env bash
# Runs a command under a private Xvfb and returns the command's exit status.
#
#   scripts/with-xvfb.sh CMD ARGS...
#   WITH_WM=1 scripts/with-xvfb.sh CMD ARGS...   # also runs openbox, a
#                                                 # reparenting window manager
#
# The server takes the first free display from :90 upward (a display is taken
# when /tmp/.X<n>-lock or its socket exists; a lost race with another server
# moves on to the next number), listens on its local socket only, and is
# stopped, with the window manager, however the command ends. DISPLAY is
# exported to the command. XVFB_SCREEN overrides the screen (1280x1024x24).
set -uo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi
tools=(Xvfb)
[ "${WITH_WM:-0}" = 1 ] && tools+=(openbox xprop)
for tool in "${tools[@]}"; do
  if ! command -v "$tool" >/dev/null; then
    echo "$0: $tool not found (GARVEL_WITH_GUI=1 scripts/setup.sh installs it)" >&2
    exit 2
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/garvel-xvfb.XXXXXX") || exit 2
xvfb_pid=""
wm_pid=""
cmd_pid=""
cleanup() {
  for pid in $cmd_pid $wm_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to $2 tenths of a second for the file $1 to be non-empty while the
# process $3 is alive.
wait_for_file() {
  local i
  for ((i = 0; i < $2; i++)); do
    [ -s "$1" ] && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

display=""
for ((n = 90; n < 190; n++)); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
  : >"$work/ready"
  # -displayfd writes the display number once the server accepts clients.
  Xvfb ":$n" -nolisten tcp -noreset -screen 0 "${XVFB_SCREEN:-1280x1024x24}" \
    -displayfd 3 3>"$work/ready" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  if wait_for_file "$work/ready" 300 "$xvfb_pid"; then
    display=":$n"
    break
  fi
  kill "$xvfb_pid" 2>/dev/null
  wait "$xvfb_pid" 2>/dev/null
  xvfb_pid=""
done
if [ -z "$display" ]; then
  echo "$0: could not start Xvfb on any display from :90 to :189" >&2
  cat "$work/xvfb.log" >&2 2>/dev/null
  exit 2
fi
export DISPLAY=$display

if [ "${WITH_WM:-0}" = 1 ]; then
  openbox --sm-disable >"$work/wm.log" 2>&1 &
  wm_pid=$!
  # The window manager is ready once it has claimed the root window's
  # substructure redirection and announced itself there.
  ready=0
  for ((i = 0; i < 300; i++)); do
    kill -0 "$wm_pid" 2>/dev/null || break
    if xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; then
      ready=1
      break
    fi
    sleep 0.1
  done
  if [ $ready != 1 ]; then
    echo "$0: the window manager did not start on $display" >&2
    cat "$work/wm.log" >&2
    exit 2
  fi
fi

# In the background so that a signal to this script is handled at once (and
# passed on by the cleanup) rather than after the command has finished.
"$@" <&0 3>&- &
cmd_pid=$!
wait "$cmd_pid"
status=$?
cmd_pid=""
exit $status
