#!/bin/bash
# The test runner of the x86_64 toolchain (CMAKE_CROSSCOMPILING_EMULATOR): wine-run.sh,
# repeated once when the run failed for reasons of the host rather than the program:
# - glibc's loader tripped over one of Wine's own threads while the process exited
#   ("Inconsistency detected by ld.so: dl-fini.c"), after the program had finished;
# - the run failed without a single byte of output: the program never got to run (every
#   test program prints from its first line on).
# A failure that repeats stands, and so does every other failure.
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp /tmp/tavex-wine-test.XXXXXX)
err=$(mktemp /tmp/tavex-wine-test.XXXXXX)
trap 'rm -f "$out" "$err"' EXIT

run() {
  "$here/wine-run.sh" "$@" >"$out" 2>"$err"
  rc=$?
  cat "$out"
  cat "$err" >&2
}

run "$@"
if [ "$rc" -ne 0 ]; then
  why=
  if grep -q 'Inconsistency detected by ld.so: dl-fini.c' "$err"; then
    why="the host loader failed at exit"
  elif [ ! -s "$out" ] && [ ! -s "$err" ]; then
    why="the run failed without any output"
  fi
  if [ -n "$why" ]; then
    echo "wine-test: $why (status $rc); running once more" >&2
    run "$@"
  fi
fi
exit "$rc"
