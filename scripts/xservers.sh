#!/usr/bin/env bash
# Starts and stops the X servers that the display tests talk to.
#   scripts/xservers.sh start DIR   starts them (state and logs in DIR) and prints
#                                   "export NAME=VALUE" lines for the caller to eval
#   scripts/xservers.sh stop DIR    stops every server started with DIR and removes DIR
# What the exported names stand for:
#   QUILLMERE_X24      Xvfb whose screen has depth 24
#   QUILLMERE_X16      Xvfb whose screen has depth 16
#   QUILLMERE_XV       Xephyr with glamor (a YV12 XVideo adaptor) inside an Xvfb of its own
#   QUILLMERE_XFOREIGN Xvfb in an IPC namespace of its own: it offers MIT-SHM but cannot
#                      attach our segments, like a server on another host. Where no new IPC
#                      namespace can be made, QUILLMERE_XFOREIGN_MISSING tells why instead.
#   QUILLMERE_XLOCKS   folder for the lock files of tests that need a server to themselves
# Every server picks a free display number itself (-displayfd).
set -euo pipefail

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
cmd=$1
dir=$2

stop_all() {
  [ -f "$dir/pids" ] || return 0
  # Last started first: Xephyr goes before the Xvfb it runs in.
  local pid
  for pid in $(tac "$dir/pids"); do
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do
      alive "$pid" || break
      sleep 0.1
    done
    alive "$pid" && kill -9 "$pid" 2>/dev/null
  done
  rm -f "$dir/pids"
}

alive() {  # a zombie has ended even though kill -0 still finds it
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# start_server NAME COMMAND...: runs the server and prints its display name once it accepts
# connections.
start_server() {
  local name=$1; shift
  local numfile="$dir/$name.display"
  : >"$numfile"
  "$@" -displayfd 3 3>"$numfile" >"$dir/$name.log" 2>&1 </dev/null &
  local pid=$!
  echo "$pid" >>"$dir/pids"
  for _ in $(seq 200); do
    if grep -qx '[0-9][0-9]*' "$numfile"; then
      echo ":$(cat "$numfile")"
      return 0
    fi
    alive "$pid" || break
    sleep 0.05
  done
  echo "xservers: $name did not start: $*" >&2
  cat "$dir/$name.log" >&2
  return 1
}

start_all() {
  mkdir -p "$dir"
  local x24 x16 xvhost xv xforeign="" missing=""
  # Called as a condition, so errors do not end the function by themselves.
  x24=$(start_server x24 Xvfb -screen 0 1024x768x24 -nolisten tcp -noreset) || return 1
  x16=$(start_server x16 Xvfb -screen 0 1024x768x16 -nolisten tcp -noreset) || return 1
  xvhost=$(start_server xvhost Xvfb -screen 0 1024x768x24 -nolisten tcp -noreset) || return 1
  xv=$(DISPLAY=$xvhost start_server xv Xephyr -glamor -screen 800x600x24 -nolisten tcp \
    -noreset) || return 1

  local unshare=()
  if unshare --ipc true 2>/dev/null; then
    unshare=(unshare --ipc)
  elif unshare --user --map-root-user --ipc true 2>/dev/null; then
    unshare=(unshare --user --map-root-user --ipc)
  fi
  if [ ${#unshare[@]} -eq 0 ]; then
    missing="this machine does not allow a new IPC namespace (unshare)"
  elif ! xforeign=$(start_server xforeign "${unshare[@]}" Xvfb -screen 0 640x480x24 \
      -nolisten tcp -noreset); then
    missing="Xvfb did not start in a new IPC namespace"
  fi

  echo "export QUILLMERE_X24=$x24"
  echo "export QUILLMERE_X16=$x16"
  echo "export QUILLMERE_XV=$xv"
  if [ -n "$missing" ]; then
    echo "xservers: no server without our shared memory: $missing" >&2
    printf 'export QUILLMERE_XFOREIGN_MISSING=%q\n' "$missing"
  else
    echo "export QUILLMERE_XFOREIGN=$xforeign"
  fi
  echo "export QUILLMERE_XLOCKS=$dir"
}

case $cmd in
  start)
    if ! start_all; then
      stop_all
      exit 1
    fi
    ;;
  stop)
    stop_all
    rm -rf "$dir"
    ;;
  *) usage ;;
esac
