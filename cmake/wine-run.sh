#!/bin/bash
# Runs a Windows program under wine64: the CMAKE_CROSSCOMPILING_EMULATOR of the
# x86_64 toolchain, and the way scripts start Tavex.exe.
# Uses a private prefix (created once, under a lock) so the user's own ~/.wine is
# never touched. The prefix's .ready holds the checksum of the settings it was given
# (wine-settings.reg): a prefix configured with other settings, older ones included,
# gets these imported before the run.
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:=${XDG_CACHE_HOME:-$HOME/.cache}/tavex-wine64}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"                     # also hides the "wine32 is missing" hint
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no Mono/Gecko install prompt
W=/usr/lib/wine/wine64
S=/usr/lib/wine/wineserver64
settings=$here/wine-settings.reg
stamp="settings $(cksum <"$settings" | cut -d' ' -f1)"

if [ "$(cat "$WINEPREFIX/.ready" 2>/dev/null)" != "$stamp" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ "$(cat "$WINEPREFIX/.ready" 2>/dev/null)" != "$stamp" ]; then
      created=
      if [ ! -f "$WINEPREFIX/.ready" ]; then
        echo "wine-run: creating Wine prefix $WINEPREFIX (once)" >&2
        "$W" wineboot --init </dev/null >/dev/null 2>&1
        "$S" -w
        created=yes
      else
        echo "wine-run: bringing the settings of $WINEPREFIX up to date" >&2
      fi
      # Debian's wine does not load /usr/share/wine/fonts: copy Marlett (caption
      # buttons) and Tahoma (default UI font). Not tahomabd: a bold Tahoma is not
      # font-linked and Japanese captions would turn to boxes.
      for f in marlett.ttf tahoma.ttf; do
        cmp -s "/usr/share/wine/fonts/$f" "$WINEPREFIX/drive_c/windows/Fonts/$f" ||
          cp "/usr/share/wine/fonts/$f" "$WINEPREFIX/drive_c/windows/Fonts/"
      done
      "$W" regedit /S "Z:$(printf '%s' "$settings" | tr / '\\')" </dev/null >/dev/null 2>&1
      # A new prefix's display-less session ends before any GUI run. An existing one
      # may have a session's persistent server, which never ends: its next processes
      # read the imported values all the same.
      [ -z "$created" ] || "$S" -w
      printf '%s\n' "$stamp" >"$WINEPREFIX/.ready.new" && mv -f "$WINEPREFIX/.ready.new" "$WINEPREFIX/.ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec "$W" "$@"
