#!/usr/bin/env bash
# The test command. Installs what is missing, then runs every leg: the suite
# on Debian's Qt (debian-qt), the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (sanitizers), the fuzzers for a bounded time
# (fuzz), the suite on the release Qt, 6.9 or later, in a Debian sid chroot
# (release-qt), and the Windows program with its suites and setup program,
# cross-built in that chroot and run under wine (windows). Each leg is
# scripts/test-LEG.sh and can be run alone.
#
# Every leg runs, and a failure in any fails the run; so does a leg or a test
# that could not run (no root for the chroot, no network namespace, ...)
# unless TESSALY_SKIP_LEGS names it, e.g. TESSALY_SKIP_LEGS="windows release-qt"
# (scripts/lib.sh). The last line says "all tests passed" only when every
# leg ran in full; otherwise it names what did not run. Each leg's output is
# also kept in build/test-logs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/lib.sh"
label=test
started=$(date +%s)
check_dir=$root/build/test-logs
rm -rf "$check_dir"

step "dependencies" "$root/scripts/install-deps.sh" test
# Qt for Windows, the longest build of all and on the processor alone, is
# made beside the other legs, at a lower priority; the Windows leg then takes
# it from its cache. What goes wrong there, that leg reports.
mkdir -p "$check_dir"
if ! skip_asked windows; then
    TESSALY_SKIP_RECORD=/dev/null "$root/scripts/test-windows.sh" --prepare \
        >"$check_dir/windows-prepare.log" 2>&1 &
    prepare=$!
fi
for leg in debian-qt sanitizers fuzz release-qt windows; do
    [ "$leg" != windows ] || [ -z "${prepare:-}" ] || wait "$prepare" || true
    if skip_asked "$leg"; then
        label=$leg skipped "$leg" "TESSALY_SKIP_LEGS names it"
    else
        check --live "$leg" "$root/scripts/test-$leg.sh"
    fi
done
say "$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo "this tree"): the legs took $(elapsed "$started") in all"
summary
