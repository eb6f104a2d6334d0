#!/bin/bash
# End to end: the win32 build's tavex-cli.exe, under wine64's WoW64 mode, converts
# the BMP Suite's good files and two photographs into the very bytes the win64
# build's tavex-cli.exe writes from them.
#   cli-matches-win64.sh WIN32_CLI WIN64_CLI BMPSUITE_GOOD_DIR WORK_DIR plain|colour-tables
# "plain" takes the good files without a colour table and the photographs;
# "colour-tables" the files with one, whose conversion needs a GDI palette (which
# the 32-bit process does not get under WoW64: tests/CMakeLists.txt says why).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine=$(cd "$here/../../cmake" && pwd)
cli32=$1 cli64=$2 good=$3 work=$4 kind=$5
fail() { echo "FAILED: $*"; exit 1; }

[ -f "$cli32" ] || fail "$cli32 does not exist"
[ -f "$cli64" ] || fail "$cli64 does not exist (build the win64 build first)"
[ -d "$good" ] || fail "no BMP Suite at $good"

rm -rf "$work" && mkdir -p "$work/in" "$work/w32" "$work/w64" || fail "cannot make $work"
u32() { od -An -tu4 -j "$2" -N 4 "$1" | tr -d ' '; }
u16() { od -An -tu2 -j "$2" -N 2 "$1" | tr -d ' '; }
# A colour table: 8 bits or fewer, or bytes between the header (and its masks) and the pixels.
has_colour_table() {
  local size offbits bits masks=0
  size=$(u32 "$1" 14) offbits=$(u32 "$1" 10)
  if [ "$size" -eq 12 ]; then bits=$(u16 "$1" 24); else bits=$(u16 "$1" 28); fi
  [ "$size" -eq 40 ] && [ "$(u32 "$1" 30)" -eq 3 ] && masks=12
  [ "$bits" -le 8 ] || [ $((offbits - 14 - size - masks)) -gt 0 ]
}
for f in "$good"/*.bmp; do
  if has_colour_table "$f"; then [ "$kind" = colour-tables ] || continue
  else [ "$kind" = plain ] || continue
  fi
  cp "$f" "$work/in/"
done
[ -n "$(ls "$work/in")" ] || fail "no $kind BMP files in $good"
# Two photographs, made here: fractal plasma is as busy as a photograph's textures
# and gradients. BMP3: a plain 24-bit BITMAPINFOHEADER file. The second has an odd
# width (padded rows) and a little noise.
[ "$kind" = plain ] && { convert -seed 11 -size 1024x768 plasma:fractal -blur 0x1 -type TrueColor BMP3:"$work/in/photo-1024x768.bmp" &&
  convert -seed 5 -size 333x250 plasma:tomato-steelblue -attenuate 0.3 +noise Gaussian -type TrueColor \
    BMP3:"$work/in/photo-333x250.bmp" || fail "cannot make the photographs"; }
count=$(find "$work/in" -name '*.bmp' | wc -l)

convert_all() {  # $1 = runner, $2 = exe, $3 = output folder
  (cd "$work/$3" && cp ../in/*.bmp . && "$wine/$1" "$2" -- *.bmp >stdout.txt 2>stderr.txt)
  local rc=$?
  [ "$rc" -eq 0 ] || fail "$3: tavex-cli exited with status $rc: $(cat "$work/$3/stderr.txt")"
}
convert_all wine32-run.sh "$cli32" w32
convert_all wine-run.sh "$cli64" w64

n32=$(find "$work/w32" -name '*.jpg' | wc -l)
n64=$(find "$work/w64" -name '*.jpg' | wc -l)
[ "$n32" -eq "$count" ] || fail "win32 wrote $n32 JPEGs for $count files: $(cat "$work/w32/stdout.txt")"
[ "$n64" -eq "$count" ] || fail "win64 wrote $n64 JPEGs for $count files"
cmp -s "$work/w32/stdout.txt" "$work/w64/stdout.txt" || fail "the two builds printed different output names"
differ=0
for f in "$work"/w64/*.jpg; do
  cmp -s "$f" "$work/w32/$(basename "$f")" || { echo "differs: $(basename "$f")"; differ=$((differ + 1)); }
done
[ "$differ" -eq 0 ] || fail "$differ of $count JPEGs differ between win32 and win64"
echo "win32 and win64 tavex-cli wrote the same $count JPEGs"
