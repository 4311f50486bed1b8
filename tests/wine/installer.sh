#!/usr/bin/env bash
# The setup program and the MSI package in a fresh wine prefix, as a Windows
# user and an administrator would meet them. The setup program:
# a silent install that starts nothing, the program started from its
# Start-menu shortcut, an upgrade refused while it runs and accepted once it
# is quit, the Authenticode signatures of the setup program, the program and
# the uninstaller (and a tampered copy that fails), an interactive install
# whose finish page starts the program unelevated, and a silent uninstall
# that leaves no installed file, shortcut or registry entry but the user's own
# heartbeat_log.txt. The MSI package, with msiexec /qn: refused where the
# setup program installed Tessaly, and the setup program refused where it did;
# an install of exactly the staged files with both shortcuts and its entry; a
# repair; a downgrade refused; an uninstall that leaves nothing it added;
# STARTUP=0; an upgrade from an older package; its signature.
#
# Usage: installer.sh OLD_SETUP NEW_SETUP NEW_VERSION SIGNING_CA PROBE OLD_MSI NEW_MSI STAGED
#   OLD_SETUP and NEW_SETUP are setup programs of two versions of one build,
#   OLD_MSI and NEW_MSI its MSI packages, signed with a certificate that the
#   PEM file SIGNING_CA issued; STAGED is the folder `cmake --install` staged
#   them from; PROBE is tests/wine/probe.cpp built for Windows.
# Needs wine, a display in $DISPLAY (for the window), xdotool, osslsigncode
# objdump for x86_64-w64-mingw32 and msitools' msiinfo.
set -euo pipefail

old_setup=$1 new_setup=$2 new_version=$3 signing_ca=$4 probe=$5 old_msi=$6 new_msi=$7 staged=$8
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Debian keeps wineserver out of PATH.
wineserver=$(command -v wineserver || ls /usr/lib/*/wine/wineserver 2>/dev/null | head -1)
[ -n "$wineserver" ] || { echo "FAIL: no wineserver"; exit 1; }
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT

source "$(dirname "$0")/../../scripts/lib.sh"
label=installer

drive=$WINEPREFIX/drive_c
home=$drive/Program\ Files/Tessaly
program=$home/bin/tessaly.exe
menu=$drive/ProgramData/Microsoft/Windows/Start\ Menu/Programs
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
key=$uninstall\\Tessaly

pe32plus() {
    x86_64-w64-mingw32-objdump -f "$1" | grep -q 'file format pei-x86-64' ||
        fail "$1 is not a PE32+ x86-64 image"
}
# Uninstall entries named Tessaly: the setup program's (key Tessaly) and the
# MSI package's (key {ProductCode}).
entries() {
    wine reg query "$uninstall" /s /v DisplayName 2>/dev/null | tr -d '\r' | grep -c 'DisplayName *REG_SZ *Tessaly$' || true
}
value() {
    wine reg query "${2:-$key}" /v "$1" 2>/dev/null | tr -d '\r' |
        awk -v v="$1" '$1 == v { $1 = ""; $2 = ""; sub(/^  /, ""); print }'
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
# What an installer may have left: every file (but caches, temporary ones and
# the user's log) with its size and time, every value under HKLM\Software
# with its key.
snapshot() {
    (cd "$drive" && find . -path './users/*/AppData/Local' -prune -o -path ./windows/temp -prune -o \
        -type f ! -name heartbeat_log.txt -printf '%p %s %T@\n' | sort)
    wine reg export 'HKLM\Software' "$work/software.reg" /y >/dev/null 2>&1
    iconv -f UTF-16LE -t UTF-8 "$work/software.reg" | tr -d '\r' | awk '/^\[/ { key = $0; next } /=/ { print key, $0 }'
}
unchanged() { [ "$(snapshot)" = "$1" ] || { diff <(echo "$1") <(snapshot) | head -20; fail "$2"; }; }
# msiexec's exit code as a Unix parent sees it: the low 8 bits of Windows' own.
msiexec() { wine msiexec "$@" /qn /l*v "$work/msiexec.log" >/dev/null 2>&1; }
expect() {
    local code=$1 status=0
    shift
    "$@" || status=$?
    [ "$status" = $((code % 256)) ] || { tr -d '\0' <"$work/msiexec.log" | tail -n 20; fail "$* exited with $status, not $code"; }
}

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
shown_window Tessaly 60 >/dev/null ||
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
for file in "$new_setup" "$program" "$home/Uninstall.exe" "$new_msi"; do
    verify "$file" || { cat "$work/verify.log"; fail "the signature of $file does not verify"; }
done
for file in "$new_setup" "$program" "$new_msi"; do
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
say "the setup program, tessaly.exe, Uninstall.exe and the MSI package are signed; a tampered copy fails verification"

# --- the finish page ------------------------------------------------------------
# An interactive install, Enter on each page: the finish page's "Start Tessaly
# now" is checked, and the program it starts runs unelevated (the setup itself
# runs elevated).
wine "$new_setup" >"$work/setup.log" 2>&1 &
setup=$!
setup_window=$(shown_window 'Tessaly.* Setup' 60)
[ -n "$setup_window" ] || fail "the interactive setup shows no window"
for _ in $(seq 120); do
    kill -0 $setup 2>/dev/null || break
    xdotool windowfocus "$setup_window" key Return 2>/dev/null || true
    sleep 1
done
! kill -0 $setup 2>/dev/null || fail "the interactive setup did not finish"
wait $setup || fail "the interactive setup exited with $?"
shown_window Tessaly 60 >/dev/null || fail "the finish page started no program"
elevation=$(wine "$probe" elevated tessaly.exe | tr -d '\r')
[ "$elevation" = "not elevated" ] || fail "the finish page's program: '$elevation', expected one 'not elevated'"
[ "$(entries)" = 1 ] || fail "after the interactive install: $(entries) Uninstall entries"
say "an interactive install's finish page starts the program, not elevated"
wine taskkill /f /im tessaly.exe >/dev/null 2>&1 || true
for _ in $(seq 50); do running || break; sleep 0.2; done

# --- one installer owns the agent ---------------------------------------------
before=$(snapshot)
expect 1603 msiexec /i "$new_msi"
unchanged "$before" "the refused MSI package changed the machine"
say "where the setup program installed Tessaly, the MSI package is refused (1603) and changes nothing"

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

# --- the MSI package ------------------------------------------------------------
clean=$(snapshot)
# Wine's Windows Installer puts ProgramMenuFolder and StartupFolder in the
# user's own Start menu even for a per-machine package (its source says so:
# "FIXME: set to AllUsers profile path if ALLUSERS is set"); Windows puts them
# in the common one, $menu.
msi_menu="$drive/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
code=$(msiinfo export "$new_msi" Property | tr -d '\r' | awk '$1 == "ProductCode" { print $2 }')
expect 0 msiexec /i "$old_msi" STARTUP=0
[ -f "$msi_menu/Tessaly.lnk" ] && [ ! -e "$msi_menu/StartUp/Tessaly.lnk" ] || fail "STARTUP=0: expected the Start-menu shortcut only"
old_times=$(find "$home" -type f -printf '%T@\n' | sort -u)
expect 0 msiexec /i "$new_msi"
diff -r "$staged" "$home" >/dev/null || fail "the installed files are not the staged ones: $(diff -rq "$staged" "$home" | head -3)"
[ -z "$(find "$home" -type f -printf '%T@\n' | grep -Fx "$old_times")" ] || fail "the upgrade left files of the older package"
target=$(shortcut_target "$msi_menu/StartUp/Tessaly.lnk")
[ -f "$msi_menu/Tessaly.lnk" ] && [ "${target,,}" = 'c:\program files\tessaly\bin\tessaly.exe' ] ||
    fail "no Start-menu shortcut, or the Startup shortcut starts '$target'"
[ "$(entries)" = 1 ] && [ "$(value DisplayVersion "$uninstall\\$code")" = "$new_version" ] &&
    [ "$(value Publisher "$uninstall\\$code")" = Tessaly ] && [ -f "$drive/windows/Installer/$code/tessaly.ico" ] ||
    fail "after the upgrade: $(entries) entries; $code says version '$(value DisplayVersion "$uninstall\\$code")'"
say "STARTUP=0: no Startup shortcut; the current package over it: the staged files, both shortcuts, one entry $code"

rm "$(installed_files | grep -i '\.dll$' | head -1)"
expect 0 msiexec /i "$new_msi" REINSTALL=ALL REINSTALLMODE=amus
expect 0 msiexec /i "$new_msi"
diff -r "$staged" "$home" >/dev/null && [ "$(entries)" = 1 ] || fail "a repair and the same package again: $(entries) entries"
before=$(snapshot)
status=0; wine "$new_setup" /S || status=$?
[ "$status" = 4 ] || fail "the setup program over the MSI package's install exited with $status, not 4"
expect 1603 msiexec /i "$old_msi"
unchanged "$before" "the refused setup program or older package changed the machine"
say "a repair restores a deleted DLL; over the package the setup program (4) and an older package (1603) change nothing"

# Files in use: Windows Installer has Restart Manager ask the programs that
# hold them to close (and end them if they do not answer). Wine has no Restart
# Manager; what is tested is the agent's part, that it ends when asked so.
wine "$program" >"$work/program.log" 2>&1 &
shown_window Tessaly 60 >/dev/null ||
    { cat "$work/program.log"; fail "the installed program's window did not map"; }
wine "$probe" endsession tessaly.exe >/dev/null || fail "no window of tessaly.exe to ask"
for _ in $(seq 100); do running || break; sleep 0.2; done
! running || fail "the agent did not end when asked as Restart Manager asks"
expect 0 msiexec /x "$code"
unchanged "$clean" "msiexec /x left behind what the packages added"
say "the agent ends when asked as Restart Manager asks; msiexec /x leaves nothing the packages added"
echo "PASS: installer"
