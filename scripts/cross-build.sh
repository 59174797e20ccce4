#!/usr/bin/env bash
# Sets up and cross-builds the Windows server: VELQUIN.dll for x86_64 (with its
# type library) and torwen.dll, and, compile only, for i686. Checks the four
# and the fourteen exports, that no MinGW runtime DLL is needed, and, under Wine, that the embedded type library
# agrees with the interface header.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh cross
for preset in mingw64 mingw32; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
done
dll=build/mingw64/camctl/object/VELQUIN.dll
exports=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
for name in DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer; do
  grep -q "\b$name\b" <<<"$exports" || { echo "VELQUIN.dll does not export $name" >&2; exit 1; }
done
if x86_64-w64-mingw32-objdump -p "$dll" | grep -i "DLL Name" | grep -qiE 'libstdc|libgcc|libwinpthread'; then
  echo "VELQUIN.dll needs MinGW runtime DLLs" >&2; exit 1
fi
echo "VELQUIN.dll exports the four entry points and needs no MinGW runtime DLL"
torwen=build/mingw64/storage/microdriver/torwen.dll
names=$(x86_64-w64-mingw32-objdump -p "$torwen" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -o 'MicroDrv[A-Za-z]*' | sort)
if [ "$(wc -l <<<"$names")" != 14 ] || [ "$(grep -c '^MicroDrv' <<<"$names")" != 14 ]; then
  echo "torwen.dll does not export exactly the fourteen MicroDrv functions:" $names >&2; exit 1
fi
if x86_64-w64-mingw32-objdump -p "$torwen" | grep -i "DLL Name" | grep -qiE 'libstdc|libgcc|libwinpthread'; then
  echo "torwen.dll needs MinGW runtime DLLs" >&2; exit 1
fi
echo "torwen.dll exports the fourteen MicroDrv functions and needs no MinGW runtime DLL"

wine=/usr/lib/wine/wine64
export WINEPREFIX="$PWD/build/mingw64/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
timeout 300 "$wine" build/mingw64/tools/tlbcheck/tlbcheck.exe "$dll"
timeout 120 wineserver -k 2>/dev/null || true
