#!/usr/bin/env bash
# The Windows installer (NSIS) and a portable zip from a Windows build folder (made by
# scripts/windows.sh): build/packages/kelvane-VERSION-windows-x64-setup.exe and
# kelvane-VERSION-windows-x64.zip, with the programs, the icon, the licence and exactly the
# DLLs they load: Qt Core, Gui, Widgets, the platform plugin qwindows and the MinGW runtime.
# Usage: scripts/windows-package.sh BUILD_DIR [OUT_DIR]   (default OUT_DIR: build/packages)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
out=${2:-build/packages}
version=$(sed -n 's/^project(Kelvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=kelvane-$version-windows-x64
bin=$build/bin
stage=$build/stage/$name
rm -rf "$build/stage" && mkdir -p "$stage/platforms" "$out"

for f in kelvane.exe kelvane-cli.exe kelvane-receiver.exe kelvane-samples.exe \
         Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll \
         libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  cp "$bin/$f" "$stage/"
done
cp "$bin/platforms/qwindows.dll" "$stage/platforms/"
x86_64-w64-mingw32-strip "$stage"/*.exe
x86_64-w64-mingw32-strip --strip-unneeded "$stage"/lib*.dll
licence=LICENSE
[ -f "$licence" ] || licence=/usr/share/common-licenses/GPL-3
sed 's/$/\r/' "$licence" >"$stage/LICENSE.txt"
convert packaging/kelvane.png -define icon:auto-resize=256,48,32,16 "$stage/kelvane.ico"

# Every DLL a program or the plugin loads is in the folder or part of Windows itself.
system_dll='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|comdlg32|imm32|winmm|ws2_32|uxtheme|dwmapi|version|netapi32|userenv|setupapi|msvcrt|mpr|authz|shlwapi|d3d9|d3d11|d3d12|dxgi|dwrite|d2d1|wtsapi32|crypt32|bcrypt|secur32|ntdll|rpcrt4|winspool\.drv|comctl32|opengl32|shcore|wininet|winhttp|iphlpapi|dnsapi|normaliz|msimg32|usp10|setupapi|cfgmgr32|api-ms-win-.*)\.dll$'
for f in "$stage"/*.exe "$stage"/*.dll "$stage"/platforms/*.dll; do
  for dll in $(x86_64-w64-mingw32-objdump -p "$f" | awk '/DLL Name:/ {print $3}'); do
    if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$system_dll" && [ ! -f "$stage/$dll" ]; then
      echo "windows-package.sh: $(basename "$f") needs $dll, which is not in the package" >&2
      exit 1
    fi
  done
done

makensis -V2 -DVERSION="$version" -DSTAGE="$(realpath "$stage")" -DLICENSE="$(realpath "$stage/LICENSE.txt")" \
  -DOUT="$(realpath "$out")/$name-setup.exe" packaging/windows/kelvane.nsi
rm -f "$out/$name.zip"
(cd "$build/stage" && zip -qr9 "$(realpath -m "$OLDPWD/$out")/$name.zip" "$name")
ls -1 "$out/$name-setup.exe" "$out/$name.zip"
