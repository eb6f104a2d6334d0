#!/bin/bash
# End to end, under wine64's WoW64 mode: the win64 build's tavex-cli.exe runs 32-bit
# plug-ins (this win32 build's test plug-ins) in its 32-bit host. The first plug-in
# crashes on every file it claims; each file goes on to the second, is converted, and
# the crash is a warning.
#   win64-host32.sh WIN64_CLI PLUGINS32_DIR WORK_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine=$(cd "$here/../../cmake" && pwd)
cli64=$1 plugins=$2 work=$3
fail() { echo "FAILED: $*"; exit 1; }

[ -f "$cli64" ] || fail "$cli64 does not exist (build the win64 build first)"
[ -f "$(dirname "$cli64")/tavex-plugin-host32.exe" ] || fail "the win64 build has no 32-bit host"
rm -rf "$work" && mkdir -p "$work/plugins" || fail "cannot make $work"
cp "$plugins/bad-null.spi" "$work/plugins/a-crash.spi" && cp "$plugins/bad-marked.spi" "$work/plugins/b-good.spi" ||
  fail "no 32-bit test plug-ins in $plugins"
for f in f1 f2; do printf 'BAD!0123456789abcdef' >"$work/$f.bad"; done

cd "$work" || fail "cannot enter $work"
"$wine/wine-run.sh" "$cli64" --list-plugins --plugin-host on --plugin-dir plugins >list.txt 2>list-err.txt ||
  fail "--list-plugins failed: $(cat list-err.txt)"
[ "$(grep -c 'Tavex test misbehaving plug-in' list.txt)" -eq 2 ] ||
  fail "the 32-bit plug-ins were not both loaded: $(cat list.txt list-err.txt)"
"$wine/wine-run.sh" "$cli64" --plugin-host on --plugin-timeout 20 --plugin-dir plugins f1.bad f2.bad \
  >stdout.txt 2>stderr.txt
rc=$?
[ "$rc" -eq 0 ] || fail "tavex-cli exited with status $rc: $(cat stderr.txt)"
[ -s _f1.jpg ] && [ -s _f2.jpg ] || fail "not both files were converted: $(cat stdout.txt stderr.txt)"
warnings=$(grep -c 'a-crash.spi: the plug-in stopped: page fault at 0x0' stderr.txt)
[ "$warnings" -eq 2 ] || fail "expected two crash warnings, got: $(cat stderr.txt)"
echo "the win64 build ran the 32-bit plug-ins in its 32-bit host: 2 files, 2 crashes survived"
