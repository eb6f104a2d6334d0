#!/bin/bash
# Runs a 32-bit (i686) Windows program under wine64's WoW64 mode:
#   cmake/wine32-run.sh prog.exe args...
# The counterpart of wine-run.sh for the win32 build. Its prefix (TAVEX_WINE32_PREFIX,
# default ~/.cache/tavex-wine32) is created and configured once, under a lock.
# Refuses to run where the machine cannot run 32-bit code (cmake/ia32-probe.sh).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine32-env.sh"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no Mono/Gecko install prompt
W=/usr/lib/wine/wine64
S=/usr/lib/wine/wineserver64

if [ "$("$here/ia32-probe.sh")" != yes ]; then
  echo "wine32-run: this machine cannot run 32-bit code" >&2
  exit 1
fi

if [ ! -f "$WINEPREFIX/.ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ready" ]; then
      echo "wine32-run: creating Wine prefix $WINEPREFIX (once)" >&2
      "$W" wineboot --init </dev/null >/dev/null 2>&1
      "$S" -w
      # As in wine-run.sh: Marlett and Tahoma, not tahomabd.
      cp /usr/share/wine/fonts/marlett.ttf /usr/share/wine/fonts/tahoma.ttf \
         "$WINEPREFIX/drive_c/windows/Fonts/"
      "$W" regedit /S "Z:$(printf '%s' "$here/wine-settings.reg" | tr / '\\')" </dev/null >/dev/null 2>&1
      "$S" -w
      touch "$WINEPREFIX/.ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec "$W" "$@"
