#!/usr/bin/env bash
# The product's main job, end to end, against a simulated key: builds
# everything, then walks through the key-device layer natively and as the
# Windows build under Wine, a page through the plug-in and through the
# extension and native host in current browsers, the control and the
# installer, printing each step and its result.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

section() { printf '\n== %s\n' "$*"; }

section "setup and build"
tools/bootstrap.sh
tools/build.sh

export TALLYKEY_WINE_DIR=$root/build/wine
demo=$root/build/demo
export TALLYKEY_SIMKEY_DIR=$demo/devices
simkey=$root/build/linux/bin/simkey
password=demo-password
value=00112233445566778899aabbccddeeff
message=challenge-$(date +%s)

# A fresh key beside an ordinary HID device, as on a user's machine.
fresh_devices() {
  rm -rf "$TALLYKEY_SIMKEY_DIR"
  "$simkey" add-hid mouse --vid 046d --pid c077 --product "USB Optical Mouse"
  "$simkey" add-key tallykey --serial 0001abcdef10207f
}

expected=$(/usr/bin/python3 -c "import hmac,hashlib,sys; print(hmac.new(bytes.fromhex(sys.argv[1]), sys.argv[2].encode(), hashlib.md5).hexdigest())" "$value" "$message")

check_digest() {
  local got
  got=$(sed -nE 's/.*-> ([0-9a-f]{32})$/\1/p' "$1")
  if [ "$got" = "$expected" ]; then
    echo "keyed digest matches HMAC-MD5 computed independently: $expected"
  else
    echo "keyed digest $got differs from the independent HMAC-MD5 $expected" >&2
    return 1
  fi
}

# A page's walk-through: every step as expected, both keyed digests right.
check_page() {
  local want=("FindKeys.* -> (int )?1$" "GetSN.* -> (string )?\"0001abcdef10207f\"$" "InitPassword.* -> (int )?0$"
              "UpdatePassword.* -> (int )?-5$" "UpdatePassword.* -> (int )?0$"
              "ResetDigist.* -> (int )?0$" "HMAC_MD5\(.* -> (string )?\"$expected\"$"
              "HMAC_MD5_HexString.* -> (string )?\"$expected\"$")
  local pattern
  for pattern in "${want[@]}"; do
    grep -Eq "$pattern" "$1" || { echo "unexpected result, wanted /$pattern/" >&2; return 1; }
  done
  echo "all results as expected; both keyed digests match HMAC-MD5 computed independently"
}

# The walk through the extension: the user typed every change's password
# into the extension's window (a wrong one first, which the window, not the
# page, heard about), and signed in the same way; the sign-in digest is the
# one computed independently for the page's origin.
challenge=00112233445566778899aabbccddeeff
check_browser_walk() {
  local origin sign_in pattern
  origin=$(sed -nE 's/^consent window \(.*\) names (.*):$/\1/p' "$1")
  sign_in=$(/usr/bin/python3 -c "import sys; sys.path.insert(0, 'tools'); import make_sign_in_vectors as v
print(v.vector('sign-in', sys.argv[1], bytes.fromhex(sys.argv[2]), bytes.fromhex(sys.argv[3]))['digest'])" \
              "$origin" "$challenge" "$value")
  local want=("FindKeys.* -> 1$" "GetSN.* -> \"0001abcdef10207f\"$" "InitPassword.* -> 0$"
              "^password window says: Wrong password" "UpdatePassword\(wrong, password\) -> 0$"
              "UpdatePassword\(password, password\) -> 0$" "ResetDigist.* -> 0$"
              "HMAC_MD5\(.* -> \"$expected\"$" "HMAC_MD5_HexString.* -> \"$expected\"$"
              "signIn\(Tallykey.ASK, challenge\) -> \"$sign_in\"$")
  for pattern in "${want[@]}"; do
    grep -Eq "$pattern" "$1" || { echo "unexpected result, wanted /$pattern/" >&2; return 1; }
  done
  echo "all results as expected: every password typed into the extension's window, never the page;"
  echo "both keyed digests match HMAC-MD5, the sign-in digest the one for $origin, computed independently"
}

section "simulated devices"
fresh_devices
"$simkey" list

section "key-device layer, native (linux)"
LD_LIBRARY_PATH=$root/build/linux/bin "$root/build/linux/bin/keywalk" "$password" "$value" "$message" | tee "$demo/native.txt"
check_digest "$demo/native.txt"

section "key-device layer, Windows x86_64 under Wine"
fresh_devices >/dev/null
tools/wine.sh start
trap 'tools/wine.sh stop' EXIT
tools/wine.sh run "$root/build/win64/bin/keywalk.exe" "$password" "$value" "$message" | tr -d '\r' | tee "$demo/wine.txt"
check_digest "$demo/wine.txt"

section "key-device layer, Windows i686 under Wine (WOW64)"
if tools/wine.sh can-run-32 "$root/build/win32/bin/archprobe.exe"; then
  can_run_32=yes
  fresh_devices >/dev/null
  tools/wine.sh run "$root/build/win32/bin/keywalk.exe" "$password" "$value" "$message" | tr -d '\r' | tee "$demo/wine32.txt"
  check_digest "$demo/wine32.txt"
else
  can_run_32=no
  echo "win32 (i686): not run: this machine cannot execute 32-bit code"
fi

section "plug-in nptallykey.so in QtWebKit (a real NPAPI engine), page tools/pages/walkthrough.html"
fresh_devices >/dev/null
mkdir -p "$demo/home"
QTWEBKIT_PLUGIN_PATH=$root/build/linux/plugins LD_LIBRARY_PATH=$root/build/linux/bin \
  HOME=$demo/home XDG_RUNTIME_DIR=$demo/home \
  xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 tools/pagewalk.py tools/pages/walkthrough.html \
  "$password" "$value" "$message" 2>/dev/null | tee "$demo/qtwebkit.txt"
check_page "$demo/qtwebkit.txt"

section "current browsers: page library, extension and native host in headless Chromium and Firefox, page tools/pages/walkthrough-library.html"
for browser in chromium firefox; do
  fresh_devices >/dev/null
  echo "-- $browser"
  TALLYKEY_BROWSER_BUILD=$root/build/linux/browser TALLYKEY_HOST=$root/build/linux/bin/tallykey-host \
    TALLYKEY_SIMKEY=$simkey LD_LIBRARY_PATH=$root/build/linux/bin TALLYKEY_CONSENT_SHOT=$demo/consent-$browser.png \
    TALLYKEY_PASSWORD_SHOT=$demo/password-$browser.png \
    node tools/browserwalk.mjs "$browser" "$password" "$value" "$message" "$challenge" | tee "$demo/$browser.txt"
  grep -q "^user clicks Allow$" "$demo/$browser.txt" || { echo "$browser: no consent window was answered" >&2; exit 1; }
  echo "$browser: the consent window as the user saw it: $demo/consent-$browser.png"
  echo "$browser: the password window as the user saw it: $demo/password-$browser.png"
  check_browser_walk "$demo/$browser.txt"
done

section "a site that signs in with the key: the reference bank (examples/bank) on tallykey-server, its embedded store, in Chromium and Firefox"
for browser in chromium firefox; do
  echo "-- $browser"
  rm -rf "$demo/bank-$browser"
  TALLYKEY_BROWSER_BUILD=$root/build/linux/browser TALLYKEY_HOST=$root/build/linux/bin/tallykey-host \
    TALLYKEY_SIMKEY=$simkey LD_LIBRARY_PATH=$root/build/linux/bin TALLYKEY_CONFIRM_SHOT=$demo/transfer-$browser.png \
    node tools/bankwalk.mjs "$browser" "$demo/bank-$browser" | tee "$demo/bank-$browser.txt"
  for pattern in "^page: enrol: ResetDigist.* -> 0" "^page: sign-in: ok, account alice$" \
                 "^page: transfer: ok: Pay 12.50 EUR to ACME Ltd from account alice \(reference [0-9a-f]{64}\)$" \
                 "^page: phishing: the bank says bad-digest$"; do
    grep -Eq "$pattern" "$demo/bank-$browser.txt" || { echo "$browser: the bank walk did not show /$pattern/" >&2; exit 1; }
  done
  echo "$browser: enrolled, signed in and confirmed the transfer; the look-alike's relayed sign-in was refused by the bank"
  echo "$browser: the transfer's password window as the user saw it: $demo/transfer-$browser.png"
done

section "nothing installed: WebHID beside the extension and host, real Chromium in a virtual machine, a key the kernel sees (uhid)"
# The page connects both ways to one key; each line says which way it went.
set +e
tools/vm.sh env TALLYKEY_BROWSER_BUILD="$root/build/linux/browser" TALLYKEY_HOST="$root/build/linux/bin/tallykey-host" \
  TALLYKEY_SIMKEY="$simkey" node tools/webhid-walk.mjs walk "$password" "$value" "$message" 2>"$demo/webhid.log" |
  tee "$demo/webhid.txt"
walked=${PIPESTATUS[0]}
set -e
case "$walked" in
  0) echo "WebHID and the extension path gave the same results on one key; the digests match HMAC-MD5 computed independently" ;;
  77) echo "WebHID: not run: $(tail -n 1 "$demo/webhid.log")" ;;
  *) cat "$demo/webhid.log" >&2; echo "demo: the WebHID walk failed" >&2; exit 1 ;;
esac

section "plug-in nptallykey.dll (x86_64) in our browser-side host under Wine"
fresh_devices >/dev/null
hex=$(printf '%s' "$message" | od -An -tx1 | tr -d ' \n')
tools/wine.sh run "$root/build/win64/bin/nphost.exe" nptallykey.dll "FindKeys" "GetSN" "InitPassword($password)" \
  "UpdatePassword($password?,$password)" "UpdatePassword($password,$password)" "ResetDigist($password,$value)" \
  "HMAC_MD5($password,$message)" "HMAC_MD5_HexString($password,$hex)" | tr -d '\r' | tee "$demo/nphost.txt"
check_page "$demo/nphost.txt"

section "control tallykey.dll (x86_64): registered with regsvr32, scripted from VBScript under Wine"
fresh_devices >/dev/null
# The control has no ResetDigist: the key got its digest value elsewhere.
"$simkey" set tallykey --digest-key "$value"
dll=$(tools/wine.sh path "$root/build/win64/bin/tallykey.dll")
tools/wine.sh run regsvr32 /s "$dll" && echo "regsvr32 /s tallykey.dll: ok"
tools/wine.sh run reg query 'HKCR\Tallykey.UsbKey\CLSID' | tr -d '\r' | grep -E 'REG_SZ' ||
  { echo "demo: after regsvr32, HKCR\\Tallykey.UsbKey\\CLSID cannot be read" >&2; exit 1; }
cp -f "$root/build/wine/prefix/drive_c/windows/system32/cscript.exe" "$root/build/win64/bin/cscript.exe"
tools/wine.sh run "$root/build/win64/bin/cscript.exe" //nologo "$(tools/wine.sh path tools/pages/walkthrough.vbs)" \
  "$password" "$message" | tr -d '\r' | tee "$demo/vbscript.txt"
grep -q "digest = \"$expected\"" "$demo/vbscript.txt" && grep -q 'sn = "0001abcdef10207f"' "$demo/vbscript.txt" &&
  grep -q 'UpdatePassword(wrong, password) -> -5' "$demo/vbscript.txt" ||
  { echo "unexpected result from the control" >&2; exit 1; }
echo "all results as expected; the keyed digest matches HMAC-MD5 computed independently"
tools/wine.sh run regsvr32 /s /u "$dll" && echo "regsvr32 /s /u tallykey.dll: ok"

section "installer, end to end: dist/, a fresh Wine prefix (64-bit Windows with WOW64), tallykeysetup.exe driven on an X server"
ls -l dist/win32 dist/win64 | sed -n '/\.dll\|\.exe/p'
fresh_devices >/dev/null
"$simkey" set tallykey --digest-key "$value"
arches=(win64)
if [ "$can_run_32" = yes ]; then
  arches+=(win32)
else
  echo "win32 (i686): not run: this machine cannot execute 32-bit code"
fi
(
  # The installer's texts are GBK: Wine runs it with the Chinese code page.
  export TALLYKEY_WINE_DIR=$root/build/wine-demo TALLYKEY_WINE_LOCALE=zh_CN.UTF-8
  rm -rf "$TALLYKEY_WINE_DIR"
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -euo pipefail
    tools/wine.sh start && echo "fresh Wine prefix: ok"
    trap "tools/wine.sh stop" EXIT
    for arch in "${@:4}"; do
      tools/demo-installer.sh "$arch" "$1" "$2" "$3" build/demo
    done
  ' demo "$password" "$message" "$value" "${arches[@]}"
)
for arch in "${arches[@]}"; do
  grep -q "digest = \"$expected\"" "$demo/installed-control-$arch.txt" &&
    grep -q "string \"$expected\"" "$demo/installed-plugin-$arch.txt" ||
    { echo "unexpected result from the installed components ($arch)" >&2; exit 1; }
  [ "$(grep -c "digest $expected\$" "$demo/installed-host-$arch.txt")" = 3 ] ||
    { echo "Chrome, Edge and Firefox did not all find the installed host ($arch)" >&2; exit 1; }
  echo "$arch: the installed control, plug-in and native host (as Chrome, Edge and Firefox find it) give the expected keyed digest"
done

section "Debian package dist/amd64/tallykey-host_$(cat VERSION)_amd64.deb: installed, used by headless Chromium and Firefox, removed"
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
if [ -n "$sudo" ] && ! sudo -n true 2>/dev/null; then
  echo "not run: installing a package needs root (or sudo without a password)"
else
  deb=dist/amd64/tallykey-host_$(cat VERSION)_amd64.deb
  $sudo dpkg -i "$deb" >/dev/null && echo "dpkg -i: ok"
  dpkg -L tallykey-host | grep -E 'tallykey-host$|\.json$|\.rules$'
  for browser in chromium firefox; do
    fresh_devices >/dev/null
    echo "-- $browser, the system-wide host and the packaged extension (/usr/share/tallykey)"
    TALLYKEY_BROWSER_BUILD=/usr/share/tallykey TALLYKEY_SIMKEY=$simkey LD_LIBRARY_PATH=$root/build/linux/bin \
      node tools/browserwalk.mjs --system-host "$browser" "$password" "$value" "$message" "$challenge" |
      tee "$demo/deb-$browser.txt"
    check_browser_walk "$demo/deb-$browser.txt"
  done
  $sudo dpkg --purge tallykey-host >/dev/null && echo "dpkg --purge: ok"
  [ ! -e /usr/lib/tallykey ] && echo "package files: removed"
fi

section "the key afterwards"
"$simkey" show tallykey | grep -E '^(serial|password|digest_key) '
echo
echo "demo: all steps passed"
