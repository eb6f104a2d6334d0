#!/bin/bash
# The Windows package as a user gets it: the zip of this build (scripts/pack), unpacked into
# a fresh Wine prefix under "C:\テスト フォルダ", run from there:
#  1. tavex-cli.exe --version and --list-plugins: the version, and the own plug-in found
#     beside the program;
#  2. Tavex.exe started, a PNG with a Japanese name dropped on its window (the shell's drop
#     message, from tests/package/ProgramDriver.cpp), the JPEG beside it with the PNG's
#     pixels, and Tavex.ini written beside Tavex.exe when the window closes;
#  3. the settings changed in that file (position, save method 1) and Tavex.exe started
#     again: the window opens where the file says and the next drop replaces the JPEG.
#   unpacked-test.sh BUILD_DIR DRIVER_EXE RUNNER
# RUNNER is cmake/wine-run.sh (win64) or cmake/wine32-run.sh (win32, WoW64).
set -uo pipefail
build=$1 driver=$2 runner=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/tavex-unpacked.XXXXXX)
# Both runners take the prefix from here: a fresh one, whose server ends with the test.
export WINEPREFIX=$work/prefix TAVEX_WINE32_PREFIX=$work/prefix
cleanup() {
  /usr/lib/wine/wineserver64 -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

zip=$("$root/scripts/pack" "$build" "$work/dist") || fail "scripts/pack $build"
top=$(basename "$zip" .zip)
version=${top#tavex-}
version=${version%-win*}
case $top in
  *-win64) plugin=iftavex.sph ;;
  *) plugin=iftavex.spi ;;
esac

"$runner" cmd /c exit </dev/null >/dev/null 2>&1 || fail "no Wine prefix in $WINEPREFIX"
folder="テスト フォルダ"
drive_c=$WINEPREFIX/drive_c
mkdir -p "$drive_c/$folder" "$drive_c/画像"
python3 -m zipfile -e "$zip" "$drive_c/$folder" || fail "the zip does not unpack"
here="C:\\$folder\\$top"
unpacked=$drive_c/$folder/$top
echo "unpacked $(basename "$zip") into $here"

# Run from elsewhere: what the programs find, they find beside themselves.
cd "$work"
out=$("$runner" "$here\\tavex-cli.exe" --version 2>&1 | tr -d '\r')
[ "$out" = "tavex-cli $version" ] || fail "tavex-cli.exe --version printed '$out'"
list=$("$runner" "$here\\tavex-cli.exe" --list-plugins 2>"$work/list.err" | tr -d '\r')
printf '%s\n' "$list"
first=$(printf '%s\n' "$list" | head -n 1 | cut -f 1-3)
want=$(printf '%s\t00IN\tTavex image filter %s ' "$here\\$plugin" "$version")
[ "${first:0:${#want}}" = "$want" ] || fail "tavex-cli.exe --list-plugins does not list $here\\$plugin first: '$first'"

# The picture under a Japanese name, and its JPEG checked against it.
sample=$root/tests/package/sample-image.py
"$sample" write "$drive_c/画像/見本.png" || fail "cannot write the PNG"
check_jpeg() { "$sample" check "$1" || fail "$1 does not hold the PNG's pixels"; }

# First start: defaults, method 0 writes "_見本.jpg".
rm -f "$unpacked/Tavex.ini"
"$runner" "$driver" "$here\\Tavex.exe" --expect "C:\\画像\\_見本.jpg" "C:\\画像\\見本.png" ||
  fail "the first drop on $here\\Tavex.exe"
check_jpeg "$drive_c/画像/_見本.jpg"
[ -f "$unpacked/Tavex.ini" ] || fail "no Tavex.ini beside Tavex.exe"
ini=$(tr -d '\r' <"$unpacked/Tavex.ini")
for key in '\[Window\]' 'Top=-\?[0-9]\+' 'Left=-\?[0-9]\+' '\[Config\]' 'HowSave=0'; do
  grep -qx "$key" <<<"$ini" || fail "Tavex.ini lacks $key: $ini"
done
echo "first start: _見本.jpg written, Tavex.ini beside Tavex.exe"

# Second start: the file's position and method 1 (replace beside the source).
printf '[Window]\r\nTop=36\r\nLeft=48\r\n\r\n[Config]\r\nHowSave=1\r\n' >"$unpacked/Tavex.ini"
out=$("$runner" "$driver" "$here\\Tavex.exe" --expect "C:\\画像\\見本.jpg" "C:\\画像\\見本.png" | tr -d '\r') ||
  fail "the second drop on $here\\Tavex.exe"
[ "$out" = "window 48 36" ] || fail "the window opened at '$out', not where Tavex.ini says (48 36)"
check_jpeg "$drive_c/画像/見本.jpg"
ini=$(tr -d '\r' <"$unpacked/Tavex.ini")
for key in 'Top=36' 'Left=48' 'HowSave=1'; do
  grep -qx "$key" <<<"$ini" || fail "Tavex.ini lost $key: $ini"
done
echo "second start: the window at 48 36, method 1 wrote 見本.jpg, Tavex.ini kept"
echo "ok"
