# SPDX-License-Identifier: MIT
# Shared by the nginx benchmarks: a scratch directory under /tmp, a clean-up
# that stops the running command and the mirror on any exit or signal, and
# `waited`, which runs a command so that a signal reaches the clean-up at once.
# Source it after setting `here` (the repository root); pass the scratch
# directory's name prefix:   . "$here/bench/bench_lib.sh" brelvane-http-bench
work="$(mktemp -d "/tmp/$1.XXXXXX")"
child=""
cleanup() {
  trap - EXIT INT TERM HUP
  if [ -n "$child" ] && kill -0 "$child" 2> /dev/null; then
    kill -TERM "$child" 2> /dev/null || true
    wait "$child" 2> /dev/null || true
  fi
  "$here/scripts/nginx-mirror.sh" stop "$work/nginx" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# Runs a command in the background and waits for it, so that a signal to
# the script runs the clean-up at once (which stops the command).
waited() {
  "$@" &
  child=$!
  local rc=0
  wait "$child" || rc=$?
  child=""
  return "$rc"
}
