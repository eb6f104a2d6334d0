#!/bin/bash
# The set-up's apt and WoW64 steps against a fake apt-get, apt-cache, dpkg and
# 32-bit probe on PATH: tries repeat, an update that keeps failing on some index is
# not fatal when the download works, the WoW64 runtime is skipped where no 32-bit
# code runs, and a failure's last line names the step and the package. Sources
# scripts/setup as a library; needs no root and installs nothing.
#   tests/setup/setup-test.sh scripts/setup
setup=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$(mktemp -d /tmp/tavex-setup-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
fake=$work/bin
mkdir -p "$fake"
version=8.0~repack-4
failures=0
# Sourcing a set-up without the library switch would set the machine up for real.
grep -q 'TAVEX_SETUP_LIB' "$setup" ||
  { echo "FAIL: $setup cannot be loaded as a library (TAVEX_SETUP_LIB=1)"; exit 1; }

# Every fake logs its call. FAKE_<WHAT>_FAILS says how many calls of that kind fail
# before they work (99: all).
cat >"$fake/apt-get" <<'FAKE'
#!/bin/bash
for what in update install download source; do
  case " $* " in *" $what "*) break ;; esac
done
echo "apt-get[$what] $*" >>"$FAKE_DIR/log"
n=$(( $(cat "$FAKE_DIR/$what" 2>/dev/null || echo 0) + 1 ))
echo "$n" >"$FAKE_DIR/$what"
var=FAKE_${what^^}_FAILS
if [ "$n" -le "${!var:-0}" ]; then
  if [ "$what" = update ]; then
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
  else
    echo "E: Failed to fetch something for $what" >&2
  fi
  exit 100
fi
if [ "$what" = download ]; then
  pkg=${*: -1}
  touch "libwine_${pkg#*=}_i386.deb"
fi
exit 0
FAKE
cat >"$fake/apt-cache" <<'FAKE'
#!/bin/bash
echo "apt-cache $*" >>"$FAKE_DIR/log"
exit 100   # not in the package lists yet
FAKE
cat >"$fake/dpkg" <<'FAKE'
#!/bin/bash
echo "dpkg $*" >>"$FAKE_DIR/log"
FAKE
cat >"$fake/dpkg-query" <<'FAKE'
#!/bin/bash
case $* in
  *libwine:amd64*) echo "$FAKE_VERSION" ;;
  *"$FAKE_MISSING"*) echo not-installed ;;
  *) echo installed ;;
esac
FAKE
cat >"$fake/dpkg-deb" <<'FAKE'
#!/bin/bash
echo "dpkg-deb $*" >>"$FAKE_DIR/log"
[ "$1" = -x ] && mkdir -p "$3/usr/lib/i386-linux-gnu/wine/i386-windows"
FAKE
printf '#!/bin/sh\necho yes\n' >"$fake/probe-yes"
printf '#!/bin/sh\necho no\nexit 1\n' >"$fake/probe-no"
chmod +x "$fake"/*

# check NAME FUNCTION STEP PROBE UPDATE_FAILS INSTALL_FAILS DOWNLOAD_FAILS  RC UPDATES INSTALLS DOWNLOADS LAST_LINE
# Runs the set-up's FUNCTION in STEP, then compares its status, the number of apt-get
# calls of each kind and the last line it printed.
check() {
  local name=$1 fn=$2 stepname=$3 probe=$4 uf=$5 inf=$6 df=$7 rc=$8 updates=$9 installs=${10} downloads=${11} last=${12}
  local dir=$work/case
  rm -rf "$dir"; mkdir -p "$dir"; : >"$dir/log"
  (
    export PATH="$fake:$PATH" FAKE_DIR=$dir FAKE_VERSION=$version FAKE_MISSING=nasm
    export FAKE_UPDATE_FAILS=$uf FAKE_INSTALL_FAILS=$inf FAKE_DOWNLOAD_FAILS=$df
    export TAVEX_SETUP_LIB=1 TAVEX_SETUP_PAUSE=0 TAVEX_WOW64_DIR=$dir/wow64 TAVEX_IA32_PROBE=$fake/probe-$probe
    cd "$dir" || exit 99
    # shellcheck source=/dev/null
    . "$setup" || exit 99
    set +e
    as_root() { "$@"; }
    wait_for_apt() { :; }
    step "$stepname" >/dev/null
    "$fn"
  ) >"$dir/out" 2>&1
  local got_rc=$? why=
  count() { grep -c "^apt-get\[$1\]" "$dir/log"; }
  local got_last got_updates got_installs got_downloads
  got_last=$(tail -n 1 "$dir/out")
  got_updates=$(count update) got_installs=$(count install) got_downloads=$(count download)
  [ "$got_rc" = "$rc" ] || why+=" status $got_rc (not $rc);"
  [ "$got_updates" = "$updates" ] || why+=" $got_updates updates (not $updates);"
  [ "$got_installs" = "$installs" ] || why+=" $got_installs installs (not $installs);"
  [ "$got_downloads" = "$downloads" ] || why+=" $got_downloads downloads (not $downloads);"
  [ "$got_last" = "${last//@/$dir}" ] || why+=" last line \"$got_last\" (not \"${last//@/$dir}\");"
  if [ "$probe" = no ] && grep -q '^dpkg --add-architecture' "$dir/log" 2>/dev/null; then
    why+=" added the i386 architecture;"
  fi
  if [ "$probe$rc$fn" = yes0setup_wow64 ] &&
     { [ ! -f "$dir/wow64/$version/.ready" ] || [ ! -d "$dir/wow64/$version/i386-windows" ]; }; then
    why+=" no runtime in $dir/wow64/$version;"
  fi
  if [ -n "$why" ]; then
    echo "FAIL: $name:$why"; sed 's/^/    | /' "$dir/out"; failures=$((failures + 1))
  else
    echo "ok: $name"
  fi
}

# A fresh machine has no source folder yet: looking in it must not end the set-up.
source_on_fresh_machine() {
  set -e
  SRC=$PWD/no-sources-yet
  find_source libjpeg-turbo
  echo "source folder: ${source_path:-none}"
}

skipped="skipped: this machine cannot run 32-bit code (cmake/ia32-probe.sh says no)"
unpacked="unpacked (@/wow64/$version)"
cannot="setup: FAILED at step 'WoW64 runtime': libwine:i386=$version cannot be downloaded"
#     name                                         function       step              probe update install download  rc  updates installs downloads  last line
check "no 32-bit code: WoW64 skipped, no apt"      setup_wow64    "WoW64 runtime"    no   0      0       0         0   0 0 0  "$skipped"
check "no 32-bit code, the mirror broken"          setup_wow64    "WoW64 runtime"    no   99     99      99        0   0 0 0  "$skipped"
check "update fails twice, then works"             setup_wow64    "WoW64 runtime"    yes  2      0       0         0   3 0 1  "$unpacked"
check "update fails on an index, download works"   setup_wow64    "WoW64 runtime"    yes  99     0       0         0   3 0 1  "$unpacked"
check "download fails twice, then works"           setup_wow64    "WoW64 runtime"    yes  0      0       2         0   1 0 3  "$unpacked"
check "download fails: the step and the package"   setup_wow64    "WoW64 runtime"    yes  99     0       99        1   3 0 3  "$cannot"
check "install fails once, then works"             setup_packages "Debian packages"  yes  0      1       0         0   1 2 0  "installed nasm"
check "install fails: the step and the packages"   setup_packages "Debian packages"  yes  99     99      0         1   3 3 0  "setup: FAILED at step 'Debian packages': nasm cannot be installed"
check "no source folder yet: none, no apt"         source_on_fresh_machine "libjpeg-turbo" yes 0 0 0  0   0 0 0  "source folder: none"

echo "$failures failed"
[ "$failures" -eq 0 ]
