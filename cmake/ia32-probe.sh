#!/bin/bash
# Says whether this machine runs 32-bit x86 code: prints "yes" (exit 0) or "no"
# (exit 1). Some machines of our kind let a 64-bit process switch into 32-bit
# mode (then wine64 runs i686 programs in its WoW64 mode), others refuse all
# 32-bit code. The probe is a host tool built here with the native compiler,
# once per source change, into the user's cache.
here=$(cd "$(dirname "$0")" && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tavex-ia32-probe
src=$here/ia32-probe.c
bin=$cache/ia32-probe-$(cksum <"$src" | cut -d' ' -f1)
if [ ! -x "$bin" ]; then
  mkdir -p "$cache"
  tmp=$(mktemp "$bin.XXXXXX")
  # -no-pie: the far call pushes a 32-bit return address, so the code must lie below 4 GiB
  cc -O2 -no-pie -o "$tmp" "$src" || { rm -f "$tmp"; echo "ia32-probe: cannot build $src" >&2; exit 2; }
  mv -f "$tmp" "$bin"
fi
exec "$bin"
