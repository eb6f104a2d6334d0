# Sourced by the wine32-*.sh scripts: the environment in which wine64 runs 32-bit
# (i686) Windows programs in its WoW64 mode.
#  - WINEDLLPATH names the runtime scripts/setup unpacked for the installed Wine
#    version: Wine's 32-bit DLLs (i386-windows) and, beside them, the 64-bit Unix
#    halves (x86_64-unix) that Wine looks for next to them (without those the
#    32-bit display driver refuses to start);
#  - the prefix is the 32-bit runs' own (TAVEX_WINE32_PREFIX, not WINEPREFIX, which
#    names the win64 runs' prefix): it must be created with WINEDLLPATH already set.
wine32_version=$(dpkg-query -W -f='${Version}' libwine:amd64 2>/dev/null)
wine32_runtime=/opt/tavex-wow64/$wine32_version
if [ -z "$wine32_version" ] || [ ! -f "$wine32_runtime/.ready" ]; then
  echo "wine32: no WoW64 runtime at $wine32_runtime (scripts/setup prepares it)" >&2
  exit 1
fi
export WINEDLLPATH=$wine32_runtime
export WINEPREFIX=${TAVEX_WINE32_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tavex-wine32}
