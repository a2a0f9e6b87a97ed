#!/usr/bin/env bash
# The installed product of one architecture, end to end, as part of
# tools/demo.sh (which gives the X server, the Wine prefix and the simulated
# key): the dist/ installer driven, a page script through the installed
# control, the installed plug-in found through its Path value, the native
# host found as Chrome, Edge and Firefox find it, uninstall.
#
#   demo-installer.sh win32|win64 PASSWORD MESSAGE DIGEST_VALUE OUTPUT_DIR
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
arch=$1 password=$2 message=$3 value=$4 out=$5
case "$arch" in
  # A 32-bit process on 64-bit Windows: its system32 is syswow64 on disk, its
  # HKLM\SOFTWARE is Wow6432Node, and its tools are syswow64's.
  win32) label=i686 system=syswow64 program_files="Program Files (x86)" ;;
  win64) label=x86_64 system=system32 program_files="Program Files" ;;
esac
say() { echo "[$label] $*"; }
bin=build/$arch/bin
system_dir=$TALLYKEY_WINE_DIR/prefix/drive_c/windows/$system
# The dialog runs in a Wine virtual desktop, which draws window frames as
# Windows does; a program sees only its own desktop's windows, so the driver
# runs there too.
desktop=Tallykey-$arch
driver() { tools/wine.sh run explorer "/desktop=$desktop" "$bin/setupdriver.exe" "$@" | tr -d '\r'; }

say "programs of this build run as: $(tools/wine.sh run "$bin/archprobe.exe" | tr -d '\r')"
tools/wine.sh run explorer "/desktop=$desktop,480x320" "dist/$arch/tallykeysetup.exe" & setup=$!
# The desktop first: a driver that came first would make it and live on.
for _ in $(seq 80); do xwininfo -name "$desktop - Wine desktop" >/dev/null 2>&1 && break; sleep 0.25; done
driver wait >/dev/null
say "install: $(driver click 1)"
read -r x y width height _ < <(driver show)
import -window "$desktop - Wine desktop" -crop "${width}x${height}+$x+$y" +repage "$out/setup-dialog-$arch.png" &&
  say "screenshot: $out/setup-dialog-$arch.png"
cmp "$system_dir/tallykey.dll" "dist/$arch/tallykey.dll" && cmp "$system_dir/nptallykey.dll" "dist/$arch/nptallykey.dll" &&
  say "installed files: identical to dist/$arch, in C:\\windows\\$system"

# The control, as a COM-hosting browser of this architecture creates it.
cp -f "$system_dir/cscript.exe" "$bin/cscript.exe"
tools/wine.sh run "$bin/cscript.exe" //nologo "$(tools/wine.sh path tools/pages/walkthrough.vbs)" "$password" "$message" |
  tr -d '\r' | sed "s/^/[$label] /" | tee "$out/installed-control-$arch.txt"

# The plug-in, found the way a browser of this architecture finds it.
plugin=$(tools/wine.sh run "C:\\windows\\$system\\reg.exe" query \
  "HKLM\\SOFTWARE\\MozillaPlugins\\@bhrbkey.cn/tallykeyplugin" /v Path | tr -d '\r' | sed -n 's/.*REG_SZ *//p')
say "MozillaPlugins Path: $plugin"
tools/wine.sh run "$bin/nphost.exe" "$plugin" FindKeys GetSN "HMAC_MD5($password,$message)" | tr -d '\r' |
  sed "s/^/[$label] /" | tee "$out/installed-plugin-$arch.txt"

# The native host for current browsers, found the way each of them finds it.
TALLYKEY_WINE=$PWD/tools/wine.sh TALLYKEY_SIMKEY=$PWD/build/linux/bin/simkey \
  /usr/bin/python3 tests/setup/hostlookup.py "$bin" "$message" "$value" | sed "s/^/[$label] /" |
  tee "$out/installed-host-$arch.txt"

say "uninstall: $(driver click 3)"
[ ! -e "$system_dir/tallykey.dll" ] && [ ! -e "$system_dir/nptallykey.dll" ] && say "installed files: removed"
if [ -e "$TALLYKEY_WINE_DIR/prefix/drive_c/$program_files/Tallykey" ]; then
  say "native host: still there after uninstall" >&2
  exit 1
fi
say "native host: removed"
driver key escape >/dev/null
wait $setup
