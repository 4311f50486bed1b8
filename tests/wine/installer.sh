#!/usr/bin/env bash
# The setup program in a fresh wine prefix, as a Windows user would meet it:
# a silent install that starts nothing, the program started from its
# Start-menu shortcut, an upgrade refused while it runs and accepted once it
# is quit, the Authenticode signatures of the setup program, the program and
# the uninstaller (and a tampered copy that fails), an interactive install
# whose finish page starts the program unelevated, and a silent uninstall
# that leaves no installed file, shortcut or registry entry but the user's own
# heartbeat_log.txt.
#
# Usage: installer.sh OLD_SETUP NEW_SETUP NEW_VERSION SIGNING_CA PROBE
#   OLD_SETUP and NEW_SETUP are setup programs of two versions of one build,
#   signed with a certificate that the PEM file SIGNING_CA issued; PROBE is
#   tests/wine/probe.cpp built for Windows.
# Needs wine, a display in $DISPLAY (for the window), xdotool, osslsigncode
# and objdump for x86_64-w64-mingw32.
set -euo pipefail

old_setup=$1 new_setup=$2 new_version=$3 signing_ca=$4 probe=$5
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Debian keeps wineserver out of PATH.
wineserver=$(command -v wineserver || ls /usr/lib/*/wine/wineserver 2>/dev/null | head -1)
[ -n "$wineserver" ] || { echo "FAIL: no wineserver"; exit 1; }
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*"; exit 1; }
say() { echo "installer: $*"; }

drive=$WINEPREFIX/drive_c
home=$drive/Program\ Files/Tessaly
program=$home/bin/tessaly.exe
menu=$drive/ProgramData/Microsoft/Windows/Start\ Menu/Programs
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessaly'

pe32plus() {
    x86_64-w64-mingw32-objdump -f "$1" | grep -q 'file format pei-x86-64' ||
        fail "$1 is not a PE32+ x86-64 image"
}
entries() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 2>/dev/null |
        tr -d '\r' | grep -ci '\\Tessaly$' || true
}
value() {
    wine reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | awk -v v="$1" '$1 == v { $1 = ""; $2 = ""; sub(/^  /, ""); print }'
}
# The path a shortcut starts, read from the .lnk's local base path.
shortcut_target() {
    python3 - "$1" <<'EOF'
import re, sys
data = open(sys.argv[1], "rb").read()
found = [m.decode() for m in re.findall(rb"[A-Za-z]:\\[ -~]*?\.exe", data)]
found += re.findall(r"[A-Za-z]:\\[^\x00]*?\.exe", data.decode("utf-16-le", "ignore"))
print(found[0] if found else "")
EOF
}
installed_files() { find "$home" -type f 2>/dev/null | sort; }
running() { pgrep -fi 'tessaly\.exe' >/dev/null; }
verify() { osslsigncode verify -CAfile "$signing_ca" -in "$1" >"$work/verify.log" 2>&1; }

say "setup programs: $(basename "$old_setup"), $(basename "$new_setup")"
pe32plus "$old_setup"
pe32plus "$new_setup"
wine wineboot -i >/dev/null 2>&1

# --- install ------------------------------------------------------------------
wine "$old_setup" /S || fail "silent install exited with $?"
[ -f "$program" ] || fail "no $program after the install"
sleep 3
! running || fail "a silent install started the program"
[ -z "$(installed_files | grep -i offscreen)" ] || fail "the test-only offscreen platform is installed"
pe32plus "$program"
[ "$(entries)" = 1 ] || fail "expected one Uninstall entry, found $(entries)"
for name in DisplayName DisplayVersion Publisher UninstallString EstimatedSize; do
    [ -n "$(value $name)" ] || fail "the Uninstall entry has no $name"
done
say "installed $(value DisplayVersion) into C:\\Program Files\\Tessaly ($(installed_files | wc -l) files, $(printf '%d' "$(value EstimatedSize)") KB)"
[ -f "$menu/Tessaly.lnk" ] || fail "no Start-menu shortcut"
[ -f "$menu/StartUp/Tessaly.lnk" ] || fail "no shortcut in the common Startup folder"

# --- the program from its shortcut -------------------------------------------
target=$(shortcut_target "$menu/Tessaly.lnk")
[ "${target,,}" = 'c:\program files\tessaly\bin\tessaly.exe' ] || fail "the shortcut starts '$target'"
wine "$target" >"$work/program.log" 2>&1 &
timeout 60 xdotool search --sync --onlyvisible --name '^Tessaly$' >/dev/null ||
    { cat "$work/program.log"; fail "the installed program's window did not map"; }
say "the shortcut's program shows its window"

# --- upgrade -------------------------------------------------------------------
before=$(installed_files | xargs -d '\n' md5sum)
status=0; wine "$new_setup" /S || status=$?
[ "$status" = 2 ] || fail "an upgrade while the program runs exited with $status, not 2"
[ "$(installed_files | xargs -d '\n' md5sum)" = "$before" ] || fail "the refused upgrade changed files"
say "an upgrade while the program runs is refused and changes nothing"

wine taskkill /f /im tessaly.exe >/dev/null 2>&1 || true
for _ in $(seq 50); do running || break; sleep 0.2; done
wine "$new_setup" /S || fail "the upgrade exited with $?"
[ "$(entries)" = 1 ] || fail "after the upgrade: $(entries) Uninstall entries"
[ "$(value DisplayVersion)" = "$new_version" ] || fail "after the upgrade the entry says $(value DisplayVersion)"
say "upgraded to $new_version, one Uninstall entry"

# --- signatures ------------------------------------------------------------------
for file in "$new_setup" "$program" "$home/Uninstall.exe"; do
    verify "$file" || { cat "$work/verify.log"; fail "the signature of $file does not verify"; }
done
for file in "$new_setup" "$program"; do
    cp "$file" "$work/tampered.exe"
    python3 - "$work/tampered.exe" <<'EOF'
import os, sys
with open(sys.argv[1], "r+b") as f:
    f.seek(os.path.getsize(sys.argv[1]) // 2)
    byte = f.read(1)
    f.seek(-1, os.SEEK_CUR)
    f.write(bytes([byte[0] ^ 0xff]))
EOF
    ! verify "$work/tampered.exe" || fail "a tampered copy of $(basename "$file") verifies"
done
say "the setup program, tessaly.exe and Uninstall.exe are signed; a tampered copy fails verification"

# --- the finish page ------------------------------------------------------------
# An interactive install, Enter on each page: the finish page's "Start Tessaly
# now" is checked, and the program it starts runs unelevated (the setup itself
# runs elevated).
wine "$new_setup" >"$work/setup.log" 2>&1 &
setup=$!
setup_window=$(timeout 60 xdotool search --sync --onlyvisible --name '^Tessaly.* Setup$' | head -1)
[ -n "$setup_window" ] || fail "the interactive setup shows no window"
for _ in $(seq 120); do
    kill -0 $setup 2>/dev/null || break
    xdotool windowfocus "$setup_window" key Return 2>/dev/null || true
    sleep 1
done
! kill -0 $setup 2>/dev/null || fail "the interactive setup did not finish"
wait $setup || fail "the interactive setup exited with $?"
timeout 60 xdotool search --sync --onlyvisible --name '^Tessaly$' >/dev/null ||
    fail "the finish page started no program"
elevation=$(wine "$probe" elevated tessaly.exe | tr -d '\r')
[ "$elevation" = "not elevated" ] || fail "the finish page's program: '$elevation', expected one 'not elevated'"
[ "$(entries)" = 1 ] || fail "after the interactive install: $(entries) Uninstall entries"
say "an interactive install's finish page starts the program, not elevated"
wine taskkill /f /im tessaly.exe >/dev/null 2>&1 || true
for _ in $(seq 50); do running || break; sleep 0.2; done

# --- uninstall -----------------------------------------------------------------
log=$(find "$drive/users" -name heartbeat_log.txt | head -1)
[ -n "$log" ] || fail "the program made no heartbeat_log.txt"
wine "$home/Uninstall.exe" /S || fail "silent uninstall exited with $?"
# The uninstaller runs on from a copy of itself; wait for it to finish.
for _ in $(seq 100); do [ -e "$home" ] || break; sleep 0.2; done
"$wineserver" -w
[ ! -e "$home" ] || fail "left behind: $(find "$home" | tr '\n' ' ')"
[ ! -e "$menu/Tessaly.lnk" ] && [ ! -e "$menu/StartUp/Tessaly.lnk" ] || fail "shortcuts left behind"
[ "$(entries)" = 0 ] || fail "the Uninstall entry is still there"
[ -f "$log" ] || fail "the uninstaller removed the user's $log"
say "uninstalled: no file, shortcut or entry left; the user's heartbeat_log.txt stays"
echo "PASS: installer"
