#!/bin/bash
# Runs a command (normally ctest) with one wineserver kept alive for its whole
# duration:  xvfb-run -a cmake/wine-session.sh ctest -j2 --output-on-failure
# Wine's helper processes (services.exe, winedevice.exe...) inherit the stdout of
# the first wine process; if that were a test, ctest would wait on its pipe until
# the server exits. Starting them here first, with /dev/null as their output,
# keeps every test's pipe free.
# Sessions on one prefix take turns (a lock): a session's helpers keep the
# DISPLAY they started with, and its end kills every process of the prefix.
here=$(cd "$(dirname "$0")" && pwd)
run=${TAVEX_SESSION_RUN:-$here/wine-run.sh}   # wine32-session.sh: the WoW64 runner
: "${WINEPREFIX:=${XDG_CACHE_HOME:-$HOME/.cache}/tavex-wine64}"
export WINEPREFIX
S=/usr/lib/wine/wineserver64

mkdir -p "$(dirname "$WINEPREFIX")"
exec 8>"$WINEPREFIX.session.lock"
flock -n 8 || { echo "wine-session: waiting for another session on $WINEPREFIX" >&2; flock 8; }

"$run" cmd /c exit </dev/null >/dev/null 2>&1 8>&-  # creates the prefix if needed
"$S" -p 8>&-                                    # persistent server for the run
trap '"$S" -k 8>&-' EXIT
"$run" cmd /c exit </dev/null >/dev/null 2>&1 8>&-  # helpers now hold /dev/null
"$@"
