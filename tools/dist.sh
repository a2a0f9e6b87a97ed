#!/usr/bin/env bash
# Gathers the release into dist/ (after tools/build.sh, which calls it):
#   dist/win32/, dist/win64/  the installer and what it carries (the control,
#                             the plug-in, the native host) of each architecture
#   dist/amd64/               the Debian package of the Linux host
#   dist/browser/             the extension for Chromium (zip) and Firefox
#                             (xpi, unsigned), the page library, and its npm
#                             package (tallykey-VERSION.tgz, npm pack's); the
#                             same for every architecture
#   dist/server/              tallykey-server-VERSION.tgz, the server half's
#                             npm package
# Every version number comes from VERSION (the DLLs keep their own).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
version=$(cat VERSION)
rm -rf dist
mkdir -p dist/win32 dist/win64 dist/amd64 dist/browser dist/server
for arch in win32 win64; do
  cp "build/$arch/dist/tallykeysetup.exe" "build/$arch/bin/tallykey.dll" "build/$arch/bin/nptallykey.dll" \
     "build/$arch/bin/tallykey-host.exe" "dist/$arch/"
done
cp "build/linux/dist/tallykey-host_${version}_amd64.deb" dist/amd64/
cp "build/linux/browser/tallykey-$version-chromium.zip" "build/linux/browser/tallykey-$version-firefox.xpi" \
   build/linux/browser/tallykey.js dist/browser/
(cd dist/browser && npm pack --silent "$OLDPWD/build/linux/browser/package" >/dev/null)
server_version=$(node -p 'require("./server/package.json").version')
[ "$server_version" = "$version" ] || { echo "dist: server/package.json says $server_version, VERSION $version" >&2; exit 1; }
(cd dist/server && npm pack --silent "$OLDPWD/server" >/dev/null)
echo "dist: $(find dist -type f | wc -l) files for version $version"
