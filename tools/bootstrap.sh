#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent: when everything is there it changes nothing. Wine's 32-bit
# half (wine32:i386) comes from the i386 architecture, which is added once;
# whether this machine can then execute 32-bit code is checked where the
# i686 programs run (tools/wine.sh can-run-32).
set -euo pipefail

packages=(
  cmake ninja-build g++ make python3 python3-pefile
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 libwine-dev googletest libssl-dev
  clang libclang-rt-14-dev nlohmann-json3-dev libhidapi-dev dpkg-dev lintian publicsuffix
  postgresql openssl xvfb xauth x11-utils python3-pyqt5.qtwebkit fonts-wqy-microhei fonts-wine imagemagick
)
# Without recommends: wine32's pull in hundreds of megabytes of i386 desktop
# libraries that no test uses.
lean_packages=(wine32:i386 chromium firefox-esr firefox-esr-l10n-zh-cn
               qemu-system-x86 linux-image-amd64 busybox-static cpio udev emscripten)

not_installed() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || echo "$package"
  done
}
mapfile -t missing < <(not_installed "${packages[@]}")
mapfile -t lean_missing < <(not_installed "${lean_packages[@]}")
if [ $((${#missing[@]} + ${#lean_missing[@]})) -eq 0 ]; then
  echo "bootstrap: all $((${#packages[@]} + ${#lean_packages[@]})) packages present"
else
  echo "bootstrap: installing ${missing[*]} ${lean_missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
  export DEBIAN_FRONTEND=noninteractive
  [ ${#missing[@]} -eq 0 ] || $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  [ ${#lean_missing[@]} -eq 0 ] || $sudo apt-get install -y -qq --no-install-recommends "${lean_missing[@]}" >/dev/null
  echo "bootstrap: packages done"
fi

# puppeteer-core for the browser tests, exactly as the lock file pins it
# (it drives Debian's browsers and downloads none of its own). The server
# half's packages are tools/build.sh's: they build a native module, which
# it does alongside its first configurations.
browser_tests=$(dirname "${BASH_SOURCE[0]}")/../tests/browser
if [ ! -d "$browser_tests/node_modules" ] || [ "$browser_tests/package-lock.json" -nt "$browser_tests/node_modules" ]; then
  (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error) || exit 1
  touch "$browser_tests/node_modules"
fi
echo "bootstrap: done"
