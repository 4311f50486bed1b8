#!/usr/bin/env bash
# Builds the agent and runs its whole test suite against the release Qt (6.9 or
# later), which Debian 12 does not have, inside a Debian sid chroot.
#
# The chroot is made with debootstrap from the same Debian archive this
# machine's apt uses and kept between runs in a cache directory outside the
# source tree (default /var/cache/tessaly/sid-chroot, or $TESSALY_SID_CHROOT).
# A chroot is reused while it is sound: its marker file says setup finished,
# every wanted package is installed, dpkg is consistent and its Qt is new
# enough. Packages added to the list below are installed into it; a broken or
# old one is made again beside it and swapped in with a rename, so a run that
# is interrupted never leaves a half-made chroot in use.
#
# If no chroot can be had at all (no root, no debootstrap, the archive out of
# reach, sid uninstallable today) this prints one line starting with
# "SKIPPED:" and exits 0. A build or test failure inside the chroot exits
# non-zero.
#
# The sources (tracked files and untracked, not ignored ones, so that uncommitted
# work is tested too) are copied into the chroot, built there with CMake and
# Ninja, and tested with ctest on Xvfb. Deprecation warnings from the build
# are listed at the end.
#
# Environment:
#   TESSALY_SID_CHROOT         where the chroot lives
#   TESSALY_SID_MIRROR         Debian archive URL (default: the one apt uses here)
#   TESSALY_SID_MAX_AGE_DAYS   make a fresh chroot after this many days (default
#                              30; the old one is kept if that fails)
#   TESSALY_SID_REBUILD=1      make a fresh chroot now
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
self=$root/scripts/$(basename "$0")
chroot_dir=${TESSALY_SID_CHROOT:-/var/cache/tessaly/sid-chroot}
chroot_dir=${chroot_dir%/}
max_age_days=${TESSALY_SID_MAX_AGE_DAYS:-30}
min_qt=6.9
jobs=$(nproc)

# What the build and the test suite need, as Debian sid names it. sid has no
# trayer; tests/e2e/xsession.sh uses stalonetray instead. MinGW and wine are
# left out: the wine cross-check reports itself skipped without them.
packages=(
    # build
    cmake ninja-build g++ ccache qt6-base-dev qt6-multimedia-dev libgl-dev
    # the alert sound plays through Qt Multimedia
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
    # the reference service and its certificates
    python3 openssl
    # a virtual display with a system tray, driven like a person would
    xvfb xauth stalonetray xdotool x11-utils imagemagick libx11-dev fonts-dejavu-core
    # the end-to-end login runs in a network namespace of its own
    iproute2 hostname
)

marker_name=.tessaly-chroot-ready
started=$(date +%s)

say() { printf 'release-qt: %s\n' "$*"; }
elapsed() { echo "$(( $(date +%s) - $1 )) s"; }
skip() {
    echo "SKIPPED: release-Qt tests (Qt >= $min_qt in a Debian sid chroot) not run: $*"
    exit 0
}
version_ge() { printf '%s\n%s\n' "$2" "$1" | sort -V -C; }

# --- Run in a mount and PID namespace of our own --------------------------------
# Everything mounted below, and every process started in the chroot (Xvfb, the
# reference service, a hung test), goes away with the namespace when this script
# ends, however it ends. The EXIT trap below unmounts explicitly as well.
if [ "$(id -u)" -ne 0 ]; then
    skip "needs root for debootstrap and chroot"
fi
if [ -z "${TESSALY_RELEASE_QT_NS:-}" ]; then
    if unshare --mount --pid --fork --kill-child --propagation private true 2>/dev/null; then
        export TESSALY_RELEASE_QT_NS=1
        unshare --mount --pid --fork --kill-child --propagation private bash "$self" "$@" &
        child=$!
        # unshare itself ignores INT and TERM; killing it takes the whole
        # namespace down with it, mounts and processes alike.
        trap 'kill -KILL $child 2>/dev/null' INT TERM HUP
        status=0
        while :; do
            wait $child || status=$?
            kill -0 $child 2>/dev/null || break
        done
        exit $status
    fi
    say "note: cannot make a mount namespace; mounting in the current one"
    export TESSALY_RELEASE_QT_NS=none
fi
# As PID 1 of the namespace, the shell ignores signals it has no handler for.
trap 'exit 130' INT
trap 'exit 143' TERM

parent=$(dirname "$chroot_dir")
base=$(basename "$chroot_dir")
mkdir -p "$parent"

mounted=()
unmount_under() {
    # Unmounts everything at or below $1, deepest first.
    local dir=$1 target
    case $dir in /?*) ;; *) return 0 ;; esac
    [ -d "$dir" ] || return 0
    findmnt -rn -o TARGET | awk -v d="$dir" '$0 == d || index($0, d "/") == 1' | sort -r |
        while read -r target; do umount "$target" 2>/dev/null || umount -l "$target" || true; done
}
cleanup() {
    local dir
    for dir in "${mounted[@]}"; do unmount_under "$dir"; done
}
trap cleanup EXIT

mount_system() {
    # /proc, /sys, /dev, /dev/pts, a private /dev/shm and a fresh /tmp inside
    # the chroot $1.
    local c=$1
    case $c in /?*) ;; *) echo "release-qt: refusing to mount under '$c'" >&2; return 1 ;; esac
    mounted+=("$c")
    mkdir -p "$c/proc" "$c/sys" "$c/dev" "$c/tmp"
    mount -t proc proc "$c/proc"
    mount --bind /sys "$c/sys"
    mount -o remount,bind,ro "$c/sys" 2>/dev/null || true
    mount --bind /dev "$c/dev"
    mount --bind /dev/pts "$c/dev/pts"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$c/dev/shm"
    mount -t tmpfs -o mode=1777,nosuid,nodev tmp "$c/tmp"
}
unmount_system() {
    unmount_under "$1"
}

remove_tree() {
    # Removes a chroot or a leftover of one, never crossing into a mount.
    case $1 in "$parent"/?*) ;; *) echo "release-qt: refusing to remove '$1'" >&2; return 1 ;; esac
    unmount_under "$1"
    rm -rf --one-file-system "$1"
}

in_chroot() {
    # Runs a command in chroot $1 with a clean environment.
    local c=$1; shift
    chroot "$c" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb CI="${CI:-}" \
        DEBIAN_FRONTEND=noninteractive CCACHE_DIR=/var/cache/ccache \
        "$@"
}

chroot_qt_version() {
    # Qt version of chroot $1 as its CMake package reports it; empty if none.
    cat "$1"/usr/lib/*/cmake/Qt6Core/Qt6CoreConfigVersion*.cmake 2>/dev/null |
        sed -n 's/^ *set(PACKAGE_VERSION "\([0-9.]*\)").*/\1/p' | head -1 || true
}

# --- The archive ------------------------------------------------------------
host_mirror() {
    # The Debian archive URL of this machine's main release entry in apt's
    # sources, in either format; the first Debian-looking entry if none names
    # this release.
    local codename file
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    {
        for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
            [ -f "$file" ] || continue
            sed -E 's/#.*//; s/\[[^]]*\]//' "$file" |
                awk -v s="$codename" '$1 == "deb" { print ($3 == s ? 0 : 1), $2 }'
        done
        for file in /etc/apt/sources.list.d/*.sources; do
            [ -f "$file" ] || continue
            awk -v s="$codename" '
                function flush() {
                    if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no" && uri != "")
                        print ((" " suites " ") ~ (" " s " ") ? 0 : 1), uri
                    types = suites = uri = enabled = ""
                }
                /^[ \t]*#/ { next }
                /^[ \t]*$/ { flush(); next }
                { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ /, "")
                  if (key == "types") types = $0
                  else if (key == "suites") suites = $0
                  else if (key == "uris") { split($0, u, " "); uri = u[1] }
                  else if (key == "enabled") enabled = $0 }
                END { flush() }' "$file"
        done
    } | grep -v -E 'security|-updates|backports' | awk '$1 == 0 || tolower($2) ~ /debian/' |
        sort -s -n -k1,1 | awk 'NR == 1 { print $2 }'
}

mirror=${TESSALY_SID_MIRROR:-$(host_mirror || true)}
mirror=${mirror%/}
[ -n "$mirror" ] || skip "no Debian archive found in /etc/apt/sources.list or /etc/apt/sources.list.d"

# --- Making and checking the chroot -------------------------------------------
wanted_list() { printf '%s\n' "${packages[@]}" | sort -u; }
marker_packages() { sed -n 's/^package //p' "$1/$marker_name" | sort -u; }
marker_value() { sed -n "s/^$2 //p" "$1/$marker_name" | head -1; }

write_marker() {
    local c=$1 created=$2
    {
        echo "# Written when the setup of this chroot finished; see scripts/test-release-qt.sh"
        echo "mirror $mirror"
        echo "created $created"
        echo "qt $(chroot_qt_version "$c")"
        wanted_list | sed 's/^/package /'
    } >"$c/$marker_name.new"
    mv "$c/$marker_name.new" "$c/$marker_name"
}

check_chroot() {
    # Succeeds when chroot $1 (with its system mounts in place) is fit for use.
    local c=$1 qt status missing
    [ -f "$c/$marker_name" ] || { say "no setup marker in $c"; return 1; }
    in_chroot "$c" /bin/true || { say "cannot run programs in $c"; return 1; }
    if [ -n "$(in_chroot "$c" dpkg --audit 2>&1)" ]; then
        say "dpkg reports unfinished packages in $c"; return 1
    fi
    status=$(in_chroot "$c" dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' \
                 $(marker_packages "$c") 2>&1 | grep -v '^ii ' || true)
    [ -z "$status" ] || { say "packages not installed in $c: $(echo $status)"; return 1; }
    missing=$(in_chroot "$c" bash -c 'for tool; do command -v "$tool" >/dev/null || echo "$tool"; done' \
                  tools cmake ninja g++ ccache qmake6 python3 openssl Xvfb xauth stalonetray \
                  xdotool xwininfo ip 2>&1 || true)
    [ -z "$missing" ] || { say "tools missing in $c: $(echo $missing)"; return 1; }
    qt=$(in_chroot "$c" qmake6 -query QT_VERSION 2>/dev/null || true)
    if [ -z "$qt" ] || ! version_ge "$qt" "$min_qt"; then
        say "qmake6 in $c reports Qt '${qt:-none}', not $min_qt or later"; return 1
    fi
    qt=$(chroot_qt_version "$c")
    if [ -z "$qt" ] || ! version_ge "$qt" "$min_qt"; then
        say "Qt6Core's CMake package in $c is '${qt:-missing}', not $min_qt or later"; return 1
    fi
    return 0
}

install_packages() {
    # apt-get update and install the given packages in chroot $1.
    local c=$1; shift
    cp -L /etc/resolv.conf "$c/etc/resolv.conf" 2>/dev/null || true
    in_chroot "$c" apt-get update -q &&
        in_chroot "$c" apt-get install -y -q "$@" &&
        in_chroot "$c" apt-get clean
}

new_chroot=
setup_log=
make_chroot() {
    # Makes a fresh chroot beside the cached one, in $new_chroot.
    local new
    new=$(mktemp -d "$parent/.$base.new.XXXXXX") || return 1
    chmod 755 "$new"
    new_chroot=$new
    setup_log=$new.log
    say "debootstrap sid from $mirror into $new (log: $setup_log)"
    if ! debootstrap --variant=minbase --components=main sid "$new" "$mirror" >"$setup_log" 2>&1; then
        say "debootstrap failed"
        return 1
    fi
    [ -d "$new/etc/apt" ] && [ -d "$new/etc/dpkg" ] || return 1
    # The archive may be a dated copy whose Release files are past their
    # Valid-Until; their signatures are still checked.
    printf '%s\n' \
        'Acquire::Check-Valid-Until "false";' \
        'Acquire::Retries "3";' \
        'APT::Install-Recommends "false";' \
        'APT::Install-Suggests "false";' \
        'Dpkg::Use-Pty "false";' >"$new/etc/apt/apt.conf.d/90tessaly"
    printf '%s\n' \
        'force-unsafe-io' \
        'path-exclude=/usr/share/doc/*' \
        'path-exclude=/usr/share/man/*' \
        'path-exclude=/usr/share/info/*' \
        'path-exclude=/usr/share/locale/*' \
        'path-include=/usr/share/locale/locale.alias' >"$new/etc/dpkg/dpkg.cfg.d/90tessaly"
    # No services start in the chroot.
    printf '%s\n' '#!/bin/sh' 'exit 101' >"$new/usr/sbin/policy-rc.d"
    chmod 755 "$new/usr/sbin/policy-rc.d"
    echo "deb $mirror sid main" >"$new/etc/apt/sources.list"
    find "$new/etc/apt/sources.list.d" -mindepth 1 -delete

    mount_system "$new" || return 1
    say "installing ${#packages[@]} packages and their dependencies"
    if ! install_packages "$new" "${packages[@]}" >>"$setup_log" 2>&1; then
        say "installing the packages failed"
        return 1
    fi
    mkdir -p "$new/var/cache/ccache" "$new/build"
    write_marker "$new" "$(date +%s)"
    check_chroot "$new" || return 1
    unmount_system "$new"
}

exec 9>"$parent/$base.lock"
if ! flock -n 9; then
    say "waiting for another run that uses $chroot_dir"
    flock 9
fi

# Leftovers of interrupted runs: half-made chroots and old ones being removed.
for leftover in "$parent/.$base.new."* "$parent/.$base.old."*; do
    [ -e "$leftover" ] || continue
    case $leftover in *.log) rm -f "$leftover"; continue ;; esac
    say "removing leftover $leftover"
    remove_tree "$leftover"
done
unmount_under "$chroot_dir"

setup_started=$(date +%s)
have=no      # a sound chroot is there
reason=      # why a new one should be made
if [ -f "$chroot_dir/$marker_name" ] && [ -d "$chroot_dir/usr" ]; then
    mount_system "$chroot_dir"
    missing=$(comm -23 <(wanted_list) <(marker_packages "$chroot_dir"))
    if [ -n "$missing" ]; then
        say "installing packages added since the chroot was made: $(echo $missing)"
        if install_packages "$chroot_dir" $missing >"$parent/$base.install.log" 2>&1; then
            write_marker "$chroot_dir" "$(marker_value "$chroot_dir" created)"
            rm -f "$parent/$base.install.log"
        else
            say "could not install them (log: $parent/$base.install.log)"
            reason="packages are missing from it"
        fi
    fi
    if check_chroot "$chroot_dir"; then
        have=yes
        created=$(marker_value "$chroot_dir" created)
        age_days=$(( ( $(date +%s) - ${created:-0} ) / 86400 ))
        if [ -n "${TESSALY_SID_REBUILD:-}" ]; then
            reason="TESSALY_SID_REBUILD is set"
        elif [ "$age_days" -ge "$max_age_days" ]; then
            reason="it is $age_days days old"
        fi
    else
        reason="it is not sound"
    fi
    unmount_system "$chroot_dir"
elif [ -e "$chroot_dir" ]; then
    reason="its setup never finished"
else
    reason="there is none yet"
fi

if [ -z "$reason" ]; then
    say "reusing $chroot_dir (checked in $(elapsed "$setup_started"))"
elif ! command -v debootstrap >/dev/null; then
    [ $have = yes ] || skip "debootstrap is missing (apt-get install debootstrap)"
    say "debootstrap is missing; keeping the chroot there is"
else
    say "making a new sid chroot at $chroot_dir: $reason"
    if make_chroot; then
        if [ -e "$chroot_dir" ]; then
            old=$(mktemp -u "$parent/.$base.old.XXXXXX")
            mv "$chroot_dir" "$old"
            mv "$new_chroot" "$chroot_dir"
            remove_tree "$old"
        else
            mv "$new_chroot" "$chroot_dir"
        fi
        rm -f "$setup_log"
        say "new chroot ready after $(elapsed "$setup_started")"
    else
        tail -n 15 "$setup_log" 2>/dev/null | sed 's/^/    /'
        [ -z "$new_chroot" ] || remove_tree "$new_chroot"
        [ $have = yes ] || skip "could not make a Debian sid chroot from $mirror (log: $setup_log)"
        say "could not make a new chroot; keeping the one there is"
    fi
fi

# --- Build and test -----------------------------------------------------------
c=$chroot_dir
mount_system "$c"
qt_version=$(in_chroot "$c" qmake6 -query QT_VERSION)
qt_package=$(in_chroot "$c" dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
say "Qt inside the chroot: $qt_version (Debian qt6-base-dev $qt_package, $(in_chroot "$c" g++ --version | head -1))"

# The same paths every run, so that ccache hits whatever clone the sources came from.
src=/build/src
build=/build/build
step_started=$(date +%s)
rm -rf --one-file-system "$c$src" "$c$build"
mkdir -p "$c$src" "$c$build"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$root" ls-files -z --cached --others --exclude-standard -- . \
            ':(exclude)build' ':(exclude,glob)**/__pycache__/**' |
        while IFS= read -r -d '' file; do
            if [ -e "$root/$file" ] || [ -L "$root/$file" ]; then printf '%s\0' "$file"; fi
        done |
        tar -C "$root" --null --no-recursion -T - -cf - | tar -C "$c$src" -xf -
else
    tar -C "$root" --exclude=./build --exclude=./.git --exclude=__pycache__ -cf - . |
        tar -C "$c$src" -xf -
fi
say "copied $(find "$c$src" -type f | wc -l) source files into the chroot ($(elapsed "$step_started"))"

step_started=$(date +%s)
build_log=$c/build/build.log
in_chroot "$c" ccache --zero-stats >/dev/null 2>&1 || true
if ! in_chroot "$c" bash -c '
        set -e
        cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
        cmake --build "$2" --parallel "$3" -- -k 0' build "$src" "$build" "$jobs" 2>&1 | tee "$build_log"; then
    echo "FAIL: the build against Qt $qt_version failed (log in the chroot: $build_log)"
    exit 1
fi
say "built in $(elapsed "$step_started") ($(in_chroot "$c" ccache --print-stats 2>/dev/null |
    awk -F'\t' '$1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" { h += $2 }
                $1 == "cache_miss" { m = $2 } END { printf "ccache: %d hits, %d misses", h, m }'))"

warnings=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: warning: ' "$build_log" | sed "s|^$src/||" | sort -u || true)
deprecations=$(grep -E '\[-Wdeprecated' <<<"$warnings" || true)
others=$(grep -v -E '\[-Wdeprecated' <<<"$warnings" || true)

step_started=$(date +%s)
test_log=$c/build/ctest.log
set +e
in_chroot "$c" bash -c 'cd "$1" && ctest --output-on-failure --parallel "$2"' ctest "$build" "$jobs" 2>&1 |
    tee "$test_log"
test_status=${PIPESTATUS[0]}
set -e

echo
echo "=== release Qt summary ==="
say "Qt $qt_version in a Debian sid chroot at $c"
if [ -n "$deprecations" ]; then
    say "deprecation warnings against Qt $qt_version: $(echo "$deprecations" | wc -l)"
    echo "$deprecations" | sed 's/^/    /'
else
    say "no deprecation warnings against Qt $qt_version"
fi
if [ -n "$others" ]; then
    say "other compiler warnings: $(echo "$others" | wc -l)"
    echo "$others" | sed 's/^/    /'
fi
say "ctest in the chroot ($(elapsed "$step_started")):"
sed -n '/tests passed\|tests failed out of/,$p' "$test_log" | sed 's/^/    /'
say "total $(elapsed "$started")"
if [ "$test_status" -ne 0 ]; then
    echo "FAIL: tests failed against Qt $qt_version"
    exit "$test_status"
fi
