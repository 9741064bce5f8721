#!/usr/bin/env bash
# Without the stand-in, Wine's own cabinet.dll has no Compression API: mvpk still starts
# (it imports nothing from cabinet.dll) and `mvpk verify` fails at extraction with exactly
# "CreateDecompressor (erreur Windows 127)" on standard error, and exit code 1.
#   verify_without_api.sh BUILD_DIR
set -euo pipefail
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/src"
printf 'hello' >"$tmp/src/a.txt"
: >"$tmp/meta"
"$build/wine-run" "$build/bin/mvpk.exe" pack "Z:$tmp/src" "Z:$tmp/meta" "Z:$tmp/p.mvpk" >/dev/null

# Wine's built-in cabinet.dll instead of the stand-in, for this one run: scripts/wine puts
# the caller's overrides after its own, and the last one for a DLL wins.
rc=0
WINEDLLOVERRIDES=cabinet=b "$build/wine-run" "$build/bin/mvpk.exe" verify "Z:$tmp/p.mvpk" \
  >"$tmp/out" 2>"$tmp/err" || rc=$?
printf 'CreateDecompressor (erreur Windows 127)\n' >"$tmp/expected"
status=0
[ "$rc" -eq 1 ] || { echo "exit code $rc, expected 1"; status=1; }
cmp -s "$tmp/expected" "$tmp/err" || { echo "stderr:"; od -c "$tmp/err" | head; status=1; }
[ ! -s "$tmp/out" ] || { echo "stdout not empty:"; cat "$tmp/out"; status=1; }
[ $status -eq 0 ] && echo "mvpk verify without the Compression API: as expected"
exit $status
