#!/bin/bash
# Runs a Windows program under wine64: the CMAKE_CROSSCOMPILING_EMULATOR of the
# x86_64 toolchain, and the way scripts start Tavex.exe.
# Uses a private prefix (created and configured once, under a lock) so the
# user's own ~/.wine is never touched.
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:=${XDG_CACHE_HOME:-$HOME/.cache}/tavex-wine64}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"                     # also hides the "wine32 is missing" hint
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no Mono/Gecko install prompt
W=/usr/lib/wine/wine64
S=/usr/lib/wine/wineserver64

if [ ! -f "$WINEPREFIX/.ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ready" ]; then
      echo "wine-run: creating Wine prefix $WINEPREFIX (once)" >&2
      "$W" wineboot --init </dev/null >/dev/null 2>&1
      "$S" -w
      # Debian's wine does not load /usr/share/wine/fonts: copy Marlett (caption
      # buttons) and Tahoma (default UI font). Not tahomabd: a bold Tahoma is not
      # font-linked and Japanese captions would turn to boxes.
      cp /usr/share/wine/fonts/marlett.ttf /usr/share/wine/fonts/tahoma.ttf \
         "$WINEPREFIX/drive_c/windows/Fonts/"
      "$W" regedit /S "Z:$(printf '%s' "$here/wine-settings.reg" | tr / '\\')" </dev/null >/dev/null 2>&1
      "$S" -w
      touch "$WINEPREFIX/.ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec "$W" "$@"
