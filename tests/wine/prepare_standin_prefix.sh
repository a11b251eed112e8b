#!/bin/sh
# Creates the Wine prefix of the end-to-end tests: a prefix of its own in
# which the stand-in audio service is registered as MMDeviceEnumerator
# (HKLM: Wine 8 ignores a registration under HKCU), so that appduck.exe,
# unchanged, talks to it instead of Wine's own.
# usage: prepare_standin_prefix.sh PREFIX STANDIN.dll
set -eu
here=$(cd "$(dirname "$0")" && pwd)
"$here/prepare_prefix.sh" "$1"
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Drive Z: is the Unix root (winepath would start a wineserver that keeps
# this substitution's pipe open).
dll="Z:$(cd "$(dirname "$2")" && pwd | tr / '\\')\\$(basename "$2")"
key='HKLM\Software\Classes\CLSID\{BCDE0395-E52F-467C-8E3D-C4579291692E}\InprocServer32'
wine reg add "$key" /ve /d "$dll" /f >/dev/null
wine reg add "$key" /v ThreadingModel /d Both /f >/dev/null
wineserver -w
