#!/usr/bin/env bash
# The one way this project drives Wine: every test, script and the demo go
# through here, so they share one prefix and one persistent wineserver.
#
#   wine.sh start            create the prefix (once) and start the server
#   wine.sh run PROGRAM ...  run a Windows program (starts the server if needed)
#   wine.sh stop             stop the server
#   wine.sh path UNIXPATH    print the Windows form of a path
#   wine.sh can-run-32 PROBE run the i686 program PROBE (which prints its
#                            architecture); exit 0 if this machine executes
#                            32-bit code, 1 if not
#
# The prefix lives in $TALLYKEY_WINE_DIR (default: build/wine of the checkout).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=${TALLYKEY_WINE_DIR:-$here/../build/wine}
mkdir -p "$root"
root=$(cd "$root" && pwd)
loader=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=/usr/lib/wine/wineserver

# Only what Wine needs, and never the real home.
base_env=(
  "PATH=/usr/bin:/bin"
  "HOME=$root/home"
  "WINEPREFIX=$root/prefix"
  "WINEDEBUG=${TALLYKEY_WINEDEBUG:--all}"
  "WINELOADER=$loader"
  "WINEDLLOVERRIDES=winemenubuilder.exe=d;mscoree,mshtml="
  "LC_ALL=${TALLYKEY_WINE_LOCALE:-${LC_ALL:-C.UTF-8}}"
  "DISPLAY=${DISPLAY:-}"
  "XAUTHORITY=${XAUTHORITY:-}"
  "TMPDIR=${TMPDIR:-/tmp}"
)

# Wine's 32-bit half is installed but the prefix was made without it: such
# a prefix has no syswow64 and runs no i686 program.
wow64_missing() {
  [ -f /usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll ] &&
    [ ! -f "$root/prefix/drive_c/windows/syswow64/kernel32.dll" ]
}

server_running() {
  env -i "${base_env[@]}" "$server" -k0 2>/dev/null
}

# Window frames as Windows draws them (seen in a virtual desktop, and in
# screenshots): this Debian Wine does not find its own Marlett font, which
# draws the caption buttons, so the prefix gets a copy; and the caption font
# becomes the dialog font, which has the Chinese glyphs that Wine's default
# caption font lacks. The value is a LOGFONTW: height -12 (9 points), weight
# 700, charset 134 (GB2312), then the face name in UTF-16.
window_looks() {
  local fonts=$root/prefix/drive_c/windows/Fonts marlett=/usr/share/wine/fonts/marlett.ttf
  [ -f "$marlett" ] && cp -f "$marlett" "$fonts/"
  local face
  face=$(printf 'MS Shell Dlg' | iconv -t UTF-16LE | od -An -tx1 | tr -d ' \n')
  face=$face$(printf '%0*d' $((128 - ${#face})) 0)
  env -i "${base_env[@]}" "$loader" reg add 'HKCU\Control Panel\Desktop\WindowMetrics' /v CaptionFont \
    /t REG_BINARY /d "f4ffffff000000000000000000000000bc0200000000008600000000${face}" /f </dev/null >/dev/null 2>&1 &&
    touch "$root/prefix/.window-looks"
}

start() {
  mkdir -p "$root/home"
  exec 9>"$root/lock"
  flock -w 300 9
  if [ ! -f "$root/prefix/.booted" ] || wow64_missing; then
    env -i "${base_env[@]}" "$server" -k 2>/dev/null || true
    env -i "${base_env[@]}" "$server" -w 2>/dev/null || true
    rm -rf "$root/prefix"
    env -i "${base_env[@]}" "$loader" wineboot -i >"$root/boot.log" 2>&1 || true
    env -i "${base_env[@]}" "$server" -w
    [ -f "$root/prefix/drive_c/windows/system32/kernel32.dll" ] || { cat "$root/boot.log" >&2; exit 1; }
    touch "$root/prefix/.booted"
  fi
  # A persistent server makes each later program start in a fraction of a second.
  if ! server_running; then
    env -i "${base_env[@]}" "$server" -p </dev/null >/dev/null 2>&1
    # The first program of a server session starts Wine's services, which
    # then live as long as the server. Started here, with no terminal or pipe
    # of a caller's, they hold no one's output open (CTest waits for its
    # pipes to close).
    env -i "${base_env[@]}" "$loader" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
  fi
  [ -f "$root/prefix/.window-looks" ] || window_looks
  flock -u 9
}

case "${1:-}" in
  start)
    start
    ;;
  stop)
    env -i "${base_env[@]}" "$server" -k 2>/dev/null || true
    env -i "${base_env[@]}" "$server" -w 2>/dev/null || true
    ;;
  run)
    shift
    [ -f "$root/prefix/.booted" ] && server_running || start
    # Simulated devices and the substitute hid.dll/setupapi.dll beside the
    # program: native first, then Wine's own.
    extra=("WINEDLLOVERRIDES=winemenubuilder.exe=d;mscoree,mshtml=;hid,setupapi=n,b${TALLYKEY_WINEDLLOVERRIDES:+;$TALLYKEY_WINEDLLOVERRIDES}")
    while IFS= read -r var; do
      extra+=("$var=${!var}")
    done < <(compgen -e | grep '^TALLYKEY_' || true)
    exec env -i "${base_env[@]}" "${extra[@]}" "$loader" "$@"
    ;;
  can-run-32)
    # A kernel without IA32 emulation fails it with "Exec format error".
    [ "$("$0" run "$2" 2>/dev/null | tr -d '\r')" = i686 ]
    ;;
  path)
    printf 'Z:%s\n' "$(realpath -m "$2" | tr / '\\')"
    ;;
  *)
    sed -n '2,14p' "$0" >&2
    exit 2
    ;;
esac
