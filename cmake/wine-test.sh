#!/bin/bash
# The test runner of the x86_64 toolchain (CMAKE_CROSSCOMPILING_EMULATOR): wine-run.sh,
# repeated once when the run ended in the host loader's exit race. glibc's loader can
# trip over one of Wine's own threads loading a library while the process exits
# ("Inconsistency detected by ld.so: dl-fini.c"), after the program itself has finished;
# that says nothing about the program, so such a run is repeated, once. Any other
# failure stands.
here=$(cd "$(dirname "$0")" && pwd)
err=$(mktemp /tmp/tavex-wine-test.XXXXXX)
trap 'rm -f "$err"' EXIT
"$here/wine-run.sh" "$@" 2> >(tee "$err" >&2)
rc=$?
wait "$!" 2>/dev/null  # tee has written everything
if [ "$rc" -ne 0 ] && grep -q 'Inconsistency detected by ld.so: dl-fini.c' "$err"; then
  echo "wine-test: the host loader failed at exit; running once more" >&2
  "$here/wine-run.sh" "$@"
  rc=$?
fi
exit "$rc"
