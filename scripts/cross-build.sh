#!/usr/bin/env bash
# Sets up and cross-builds the Windows server: VELQUIN.dll for x86_64 (with its
# type library) and torwen.dll, and, compile only, for i686. Checks the four
# and the fourteen exports, that no MinGW runtime DLL is needed, and, under Wine, that the embedded type library
# agrees with the interface header. Then the installer
# build/mingw64/velquin-setup-<version>-x64.exe (packaging/windows/velquin.nsi),
# its version the CMake project's.
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

# The installer, from stripped copies of what it installs.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/mingw64/CMakeCache.txt)
stage=build/mingw64/installer
rm -rf "$stage"
mkdir -p "$stage"
for f in "$dll" "$torwen" build/mingw64/app/ui/win32/presets.exe build/mingw64/tools/presetctl/presetctl.exe build/mingw64/tools/camfiles/camfiles.exe \
         build/mingw64/tools/camlist/camlist.exe; do
  x86_64-w64-mingw32-strip -o "$stage/$(basename "$f")" "$f"
done
cp packaging/windows/README.txt "$stage/"
setup=build/mingw64/velquin-setup-$version-x64.exe
# A version resource takes four numbers.
fileversion=$version
while [ "$(tr -cd . <<<"$fileversion" | wc -c)" -lt 3 ]; do fileversion+=.0; done
makensis -V2 -DVERSION="$version" -DFILEVERSION="$fileversion" -DSTAGE="$PWD/$stage" -DOUTFILE="$PWD/$setup" packaging/windows/velquin.nsi
echo "installer: $setup ($(du -k "$setup" | cut -f1) KiB)"

wine=/usr/lib/wine/wine64
export WINEPREFIX="$PWD/build/mingw64/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
timeout 300 "$wine" build/mingw64/tools/tlbcheck/tlbcheck.exe "$dll"
timeout 120 wineserver -k 2>/dev/null || true
