#!/bin/bash
# Writes cmake/wine-settings.reg, imported into the Wine prefix by wine-run.sh (again
# whenever this file's output changes):
#  - Replacements: "MS UI Gothic" is IPAexGothic. Wine links Tahoma, Microsoft Sans
#    Serif and Lucida Sans Unicode to MS UI Gothic by itself, and it rewrites their
#    SystemLink values below with its own defaults whenever the code page or the DPI
#    of a run differs from the last one's (a run under LANG=ja_JP.UTF-8 is enough):
#    this entry keeps the Japanese glyphs whatever those values hold;
#  - FontLink: the other UI fonts fall back to IPAexGothic for Japanese glyphs;
#  - X11 Driver Decorated=N: Wine draws its own captions (Xvfb has no window manager);
#  - WineDbg ShowCrashDialog=0: a program that crashes is ended with a backtrace instead
#    of waiting for ever on a crash box nobody sees under Xvfb.
# The file is UTF-16LE with a BOM: Wine's regedit misreads hex(7) values in an
# ANSI "Version 5.00" file.
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/wine-settings.reg
hex=$(printf 'ipaexg.ttf,IPAexGothic\0\0' | iconv -f utf-8 -t utf-16le | od -An -tx1 -v |
      tr -s ' \n' ' ' | sed 's/^ //;s/ $//;s/ /,/g')
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\r\n'
  for f in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif" "MS Sans Serif" "Segoe UI" "Lucida Sans Unicode"; do
    printf '"%s"=hex(7):%s\r\n' "$f" "$hex"
  done
  printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n"MS UI Gothic"="IPAexGothic"\r\n'
  printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Decorated"="N"\r\n'
  printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"ShowCrashDialog"=dword:00000000\r\n'
} | { printf '\xff\xfe'; iconv -f utf-8 -t utf-16le; } > "$out"
echo "wrote $out"
