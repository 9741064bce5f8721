#!/usr/bin/env bash
# Without a Compression API, mvpk still starts (it imports nothing from cabinet.dll) and
# `mvpk verify` fails at extraction with exactly "CreateDecompressor (erreur Windows 126)" on
# standard error, and exit code 1: cabinet.dll is disabled, since the build's module is a
# builtin DLL itself, which `cabinet=b` still loads from System32. Without
# bcrypt.dll, the error of the thread that hashes reaches mvpk as "BCrypt SHA-256
# indisponible", the same way.
#   verify_without_api.sh BUILD_DIR
set -euo pipefail
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/src"
printf 'hello' >"$tmp/src/a.txt"
: >"$tmp/meta"
"$build/wine-run" "$build/bin/mvpk.exe" pack "Z:$tmp/src" "Z:$tmp/meta" "Z:$tmp/p.mvpk" >/dev/null

status=0
# verify OVERRIDES MESSAGE: mvpk verify run with those DLL overrides fails with MESSAGE.
# scripts/wine puts the caller's overrides after its own, and the last one for a DLL wins.
verify() {
  local rc=0
  WINEDLLOVERRIDES=$1 "$build/wine-run" "$build/bin/mvpk.exe" verify "Z:$tmp/p.mvpk" \
    >"$tmp/out" 2>"$tmp/err" || rc=$?
  printf '%s\n' "$2" >"$tmp/expected"
  [ "$rc" -eq 1 ] || { echo "$1: exit code $rc, expected 1"; status=1; }
  cmp -s "$tmp/expected" "$tmp/err" || { echo "$1: stderr:"; od -c "$tmp/err" | head; status=1; }
  [ ! -s "$tmp/out" ] || { echo "$1: stdout not empty:"; cat "$tmp/out"; status=1; }
}
# No cabinet.dll at all; then the module without bcrypt.dll.
verify cabinet= 'CreateDecompressor (erreur Windows 126)'
verify 'cabinet=n,b;bcrypt=' 'BCrypt SHA-256 indisponible'
[ $status -eq 0 ] && echo "mvpk verify without the Compression API, without CNG: as expected"
exit $status
