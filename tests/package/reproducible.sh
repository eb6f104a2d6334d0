#!/bin/bash
# The same sources give the same archives: scripts/package twice, the shipped programs
# relinked in between (a link that stamped its time into a file would show), and the
# archives compared byte for byte. Prints both sets of checksums; exits 1 when they differ.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
work=$(mktemp -d /tmp/tavex-reproducible.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

TAVEX_DIST=$work/first scripts/package >"$work/first.log" 2>&1 || { cat "$work/first.log"; fail "scripts/package"; }
(cd "$work/first" && sha256sum -- *) >"$work/first.sha256"
# Every file linked here goes, so the second run links it afresh.
for build in build/win32 build/win64 build/native; do
  python3 - "$build/release/release.json" <<'PY' || fail "cannot read $build/release/release.json"
import json, os, sys
for entry in json.load(open(sys.argv[1]))["files"]:
    if entry["map"] and os.path.exists(entry["path"]):
        os.remove(entry["path"])
PY
done
TAVEX_DIST=$work/second scripts/package >"$work/second.log" 2>&1 || { cat "$work/second.log"; fail "scripts/package, again"; }
(cd "$work/second" && sha256sum -- *) >"$work/second.sha256"
echo "first:"; cat "$work/first.sha256"
echo "second, relinked:"; cat "$work/second.sha256"
[ "$(wc -l <"$work/first.sha256")" -eq 3 ] || fail "not three archives"
cmp -s "$work/first.sha256" "$work/second.sha256" || fail "the archives differ"
echo "the same bytes"
