#!/bin/bash
# The test runner of the i686 toolchain (CMAKE_CROSSCOMPILING_EMULATOR): wine32-run.sh,
# which never passes a run that did not run. A 32-bit program that Wine could not
# start still exits 0 (at most printing "Application could not be started"), so:
# - a run whose output shows that line fails;
# - a run that printed nothing on standard output fails (every test program prints
#   from its first line on);
# - as in wine-test.sh, a run is repeated once when it failed for reasons of the
#   host: glibc's loader tripped over one of Wine's threads at exit
#   ("Inconsistency detected by ld.so: dl-fini.c"), it printed nothing at all, or
#   Wine failed to start it ("ShellExecuteEx failed: Internal error", seen once in
#   900 runs on a loaded machine); the repeat must then run for real.
# A failure that repeats stands, and so does every other failure.
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp /tmp/tavex-wine32-test.XXXXXX)
err=$(mktemp /tmp/tavex-wine32-test.XXXXXX)
trap 'rm -f "$out" "$err"' EXIT

run() {
  "$here/wine32-run.sh" "$@" >"$out" 2>"$err"
  rc=$?
  cat "$out"
  cat "$err" >&2
  why=
  if grep -q 'Application could not be started' "$out" "$err"; then
    why="Wine could not start the program"
  elif [ ! -s "$out" ]; then
    why="the program printed nothing"
  fi
  if [ -n "$why" ] && [ "$rc" -eq 0 ]; then rc=1; fi
}

run "$@"
if [ "$rc" -ne 0 ]; then
  retry=
  if grep -q 'Inconsistency detected by ld.so: dl-fini.c' "$err"; then
    retry="the host loader failed at exit"
  elif [ ! -s "$out" ] && [ ! -s "$err" ]; then
    retry="the run failed without any output"
  elif [ "$why" = "Wine could not start the program" ]; then
    retry="Wine could not start the program"
  fi
  if [ -n "$retry" ]; then
    echo "wine32-test: $retry (status $rc); running once more" >&2
    run "$@"
  fi
fi
[ -z "$why" ] || echo "wine32-test: FAILED: $why: $*" >&2
exit "$rc"
