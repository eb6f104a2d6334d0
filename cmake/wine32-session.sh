#!/bin/bash
# wine-session.sh for the 32-bit runs: one wineserver of the WoW64 prefix kept
# alive for the whole command:  xvfb-run -a cmake/wine32-session.sh ctest -j2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine32-env.sh"
export TAVEX_SESSION_RUN=$here/wine32-run.sh
exec "$here/wine-session.sh" "$@"
