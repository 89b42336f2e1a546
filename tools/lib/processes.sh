# shellcheck shell=bash
# Processes, for the tools and tests that source this file (bash):
#   . "$repo/tools/lib/processes.sh"
# Each script stops only the processes it started, by the PID it recorded.

# proc_alive PID [MARKER]: PID runs (a zombie does not count) and, with a
# MARKER, its command line contains it: a recorded PID that has since been
# reused by another program is then not taken for ours.
proc_alive() {
  local pid=${1:-} marker=${2:-} stat args
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  read -r stat 2>/dev/null <"/proc/$pid/stat" || return 1
  stat=${stat##*) } # the state follows the command name in parentheses
  [ "${stat%% *}" != Z ] || return 1
  [ -n "$marker" ] || return 0
  mapfile -d "" args 2>/dev/null <"/proc/$pid/cmdline" || return 1
  [[ "${args[*]}" == *"$marker"* ]]
}

# stop_pid PID [MARKER]: SIGTERM, up to 10 seconds to end, then SIGKILL, and
# the process reaped when it is our child. With a MARKER only a process that
# proc_alive finds ours is signalled. An empty PID is nothing to stop.
stop_pid() {
  local pid=${1:-} marker=${2:-} i
  [[ $pid =~ ^[0-9]+$ ]] || return 0
  if ! proc_alive "$pid"; then
    wait "$pid" 2>/dev/null || true # already ended: reaped if it is our child
    return 0
  fi
  proc_alive "$pid" "$marker" || return 0 # the PID is another program's now
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 100; i++)); do
    proc_alive "$pid" "$marker" || break
    sleep 0.1
  done
  if proc_alive "$pid" "$marker"; then
    echo "${0##*/}: PID $pid did not stop on SIGTERM; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

# wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds;
# fails once SECONDS have passed.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}
