#!/bin/bash
# Runs a 32-bit (i686) Windows program under wine64's WoW64 mode:
#   cmake/wine32-run.sh prog.exe args...
# The counterpart of wine-run.sh for the win32 build, which it runs in the WoW64
# environment (wine32-env.sh): its prefix (TAVEX_WINE32_PREFIX, default
# ~/.cache/tavex-wine32) is created and kept up to date with the same settings, fonts
# included, the same way.
# Refuses to run where the machine cannot run 32-bit code (cmake/ia32-probe.sh).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine32-env.sh"

if [ "$("$here/ia32-probe.sh")" != yes ]; then
  echo "wine32-run: this machine cannot run 32-bit code" >&2
  exit 1
fi
exec "$here/wine-run.sh" "$@"
