#!/usr/bin/env bash
# The setup program signed at build time by add_setup_executable's SIGN_COMMAND
# (osslsigncode, throwaway certificate), which only the Unix side can run: `osslsigncode
# verify` shows the signature, and the signed program still installs and uninstalls silently.
#   signed_setup.sh BUILD_DIR PAYLOAD_SOURCE_DIR
set -euo pipefail
build=$1
payload=$2
run="$build/wine-run"
setup="$build/bin/signed_setup.exe"
entry='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvalis Signature'
record='HKCU\Software\Orvalis Tests\Orvalis Signature'
tmp=$(mktemp -d)
installed="$tmp/installed"
windows_installed="Z:${installed//\//\\}"
cleanup() {
  if [ -f "$installed/Uninstall.exe" ]; then
    "$run" "$windows_installed\\Uninstall.exe" /S /UNINSTALL /CURRENTUSER >/dev/null 2>&1 || true
  fi
  "$run" reg delete "$entry" /f >/dev/null 2>&1 || true
  "$run" reg delete "$record" /f >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT
status=0
fail() { echo "FAILED: $*"; status=1; }

osslsigncode verify -CAfile "$build/tests/package/signing/cert.pem" -in "$setup" >"$tmp/verify" 2>&1 ||
  fail "osslsigncode verify: $(cat "$tmp/verify")"
grep -q 'Subject: /CN=Lumen Setup test signing' "$tmp/verify" || fail "no signer in: $(cat "$tmp/verify")"

"$run" "$setup" /S /CURRENTUSER "/D=$windows_installed" || fail "install: exit code $?"
for file in bin/velmora.txt docs/empty.txt docs/readme.txt; do
  cmp -s "$payload/$file" "$installed/$file" || fail "installed $file differs"
done
"$run" reg query "$entry" /v DisplayName >/dev/null 2>&1 || fail "no uninstall entry"
# Its hidden clean-up outlives it: kept off ctest's output, which ctest reads to its end.
"$run" "$windows_installed\\Uninstall.exe" /S /UNINSTALL /CURRENTUSER &>/dev/null ||
  fail "uninstall: exit code $?"
# The silent uninstaller returns when the removal is done; only its hidden clean-up of
# Uninstall.exe and the folder comes seconds later.
for file in bin/velmora.txt docs/empty.txt docs/readme.txt; do
  [ ! -e "$installed/$file" ] || fail "$file left after uninstalling"
done
! "$run" reg query "$entry" >/dev/null 2>&1 || fail "uninstall entry left"

[ $status -eq 0 ] && echo "signed setup program: as expected"
exit $status
