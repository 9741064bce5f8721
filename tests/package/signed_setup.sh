#!/usr/bin/env bash
# What needs the Unix side of the setup compiler:
# - the setup program signed at build time by add_setup_executable's SIGN_COMMAND
#   (osslsigncode, throwaway certificate): `osslsigncode verify` shows the signature, and
#   the signed program still installs and uninstalls silently;
# - that installation, with its Start-menu shortcut, under a home folder of this test's own:
#   Wine's menu builder would write below $HOME/.local and $HOME/.config, and the project's
#   Wine runs must keep it from doing so;
# - a folder holding a link (made with ln -s, which Windows programs under Wine see as a
#   junction; here it is there at once, where a Windows program could only start ln and
#   poll for it): mvpk build-setup refuses it with its message, exit code 1 and no file left.
#   signed_setup.sh BUILD_DIR PAYLOAD_SOURCE_DIR
set -euo pipefail
build=$1
payload=$2
run="$build/wine-run"
setup="$build/bin/signed_setup.exe"
entry='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvalis Signature'
record='HKCU\Software\Orvalis Tests\Orvalis Signature'
tmp=$(mktemp -d)
mkdir "$tmp/home"
export HOME="$tmp/home"
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
"$run" "$windows_installed\\Uninstall.exe" /S /UNINSTALL /CURRENTUSER || fail "uninstall: exit code $?"
# The hidden clean-up takes Uninstall.exe and the folder after a two-second pause; waited for,
# so that no copy of the uninstaller is left in the temporary folder (its name holds a process
# id, which Wine soon gives again, and a later uninstaller would find the name taken).
for _ in $(seq 1 150); do
  [ -e "$installed" ] || break
  sleep 0.2
done
[ ! -e "$installed" ] || fail "install folder left: $(ls -A "$installed")"
! "$run" reg query "$entry" >/dev/null 2>&1 || fail "uninstall entry left"
written=$(cd "$HOME" && find .local .config 2>/dev/null || true)
[ -z "$written" ] || fail "written below the home folder: $written"

mkdir -p "$tmp/linked/sub" "$tmp/out"
printf 'a' >"$tmp/linked/a.txt"
ln -s /etc "$tmp/linked/sub/etc"
printf 'Exe=a.txt\nProduct=Orvalis Lien\nPublisher=Orvalis\nVersion=1\n' >"$tmp/meta"
rc=0
"$run" "$build/bin/mvpk.exe" build-setup "Z:$tmp/linked" "Z:$tmp/meta" "Z:$tmp/out/Setup.exe" \
  >"$tmp/stdout" 2>"$tmp/stderr" || rc=$?
[ "$rc" -eq 1 ] || fail "link: exit code $rc"
printf 'Lien refusé : sub\\etc\n' | cmp -s - "$tmp/stderr" || fail "link: stderr $(cat "$tmp/stderr")"
[ ! -s "$tmp/stdout" ] || fail "link: stdout $(cat "$tmp/stdout")"
[ -z "$(ls -A "$tmp/out")" ] || fail "link: left $(ls -A "$tmp/out")"

[ $status -eq 0 ] && echo "signed setup program, home folder and link refusal: as expected"
exit $status
