#!/bin/bash
# The native package as a user gets it: the tarball of this build (scripts/pack), unpacked
# under a folder with spaces and Japanese characters, run from elsewhere with a clean
# environment: tavex-cli --version, --list-plugins (the plug-in beside it, through its host)
# and a PNG converted. Its files look for their own libraries beside themselves only.
#   tarball-test.sh BUILD_DIR
set -uo pipefail
build=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/tavex-tarball.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

tarball=$("$root/scripts/pack" "$build" "$work/dist") || fail "scripts/pack $build"
top=$(basename "$tarball" .tar.gz)
version=${top#tavex-}
version=${version%-linux-*}
folder="$work/テスト フォルダ"
mkdir -p "$folder" "$work/画像"
tar -xzf "$tarball" -C "$folder" || fail "the tarball does not unpack"
here=$folder/$top

for f in tavex-cli tavex-plugin-host iftavex.spi libtavex_localmem.so; do
  [ -f "$here/$f" ] || fail "$f is not in the tarball"
  runpath=$(objdump -p "$here/$f" | awk '$1 == "RUNPATH" || $1 == "RPATH" {print $2}')
  case $runpath in
    '' | '$ORIGIN') ;;
    *) fail "$f looks for libraries in $runpath" ;;
  esac
done

cd "$work"
run() { env -i PATH=/usr/bin:/bin HOME="$work" "$here/tavex-cli" "$@"; }
out=$(run --version) || fail "tavex-cli --version failed"
[ "$out" = "tavex-cli $version" ] || fail "tavex-cli --version printed '$out'"
list=$(run --list-plugins 2>"$work/list.err") || fail "tavex-cli --list-plugins failed: $(cat "$work/list.err")"
printf '%s\n' "$list"
want=$(printf '%s\t00IN\tTavex image filter %s ' "$here/iftavex.spi" "$version")
first=$(printf '%s\n' "$list" | head -n 1)
[ "${first:0:${#want}}" = "$want" ] || fail "tavex-cli --list-plugins does not list $here/iftavex.spi first: '$first'"

sample=$root/tests/package/sample-image.py
"$sample" write "$work/画像/見本.png" || fail "cannot write the PNG"
out=$(run "$work/画像/見本.png") || fail "tavex-cli did not convert the PNG"
[ "$out" = "$work/画像/_見本.jpg" ] || fail "tavex-cli wrote '$out'"
"$sample" check "$out" || fail "$out does not hold the PNG's pixels"
echo "ok"
