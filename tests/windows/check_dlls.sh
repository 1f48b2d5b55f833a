#!/usr/bin/env bash
# Fails unless every DLL the .exe imports is one that ships with Windows.
set -euo pipefail
exe=$1
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
echo "$exe imports:" $dlls
status=0
for dll in $dlls; do
  case "${dll,,}" in
    kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ucrtbase.dll|api-ms-win-*.dll) ;;
    ole32.dll|avrt.dll|mfplat.dll|mfreadwrite.dll) ;;  # COM, WASAPI's thread priority, Media Foundation
    *) echo "not a system DLL: $dll"; status=1 ;;
  esac
done
exit $status
