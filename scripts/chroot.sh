# The Debian sid chroot that the release-Qt and Windows legs (and the wine
# benchmarks) build and test in. Sourced, not run: a leg sets what it needs
# and calls chroot_open "$@" first thing, which leaves $chroot_dir made or
# reused, checked and mounted:
#
#   source "$root/scripts/lib.sh"; label=release-qt    say(), skips, summary
#   chroot_skip_what="release-Qt tests"     what a skip says is not run
#   chroot_tools=(cmake g++ ...)            commands that must be found in it
#   chroot_check_leg() { ...; }             optional: the leg's own soundness
#                                           checks of chroot $1 (say why, return 1)
#   chroot_keep_env=(SOURCE_DATE_EPOCH)     optional: variables that in_chroot
#                                           passes on as they are
#   source "$root/scripts/chroot.sh"
#   chroot_open "$@"
#
# There is one chroot for every leg (default /var/cache/tessaly/sid-chroot, or
# $TESSALY_SID_CHROOT), made with debootstrap from the same Debian archive this
# machine's apt uses and kept between runs. It is reused while it is sound: its
# marker file says setup finished, every package any leg asked for is installed,
# dpkg is consistent, and the calling leg's tools and checks pass. It holds
# every package of chroot_packages below, the one list for every leg, so that
# no leg has to change it while another uses it; packages added to the list
# since are installed into it. A broken or old one is made again beside it and
# swapped in with a rename, so a run that is interrupted never leaves a
# half-made chroot in use. Legs use a sound chroot side by side (each in
# folders of its own under /build) under a shared lock; making, repairing or
# adding packages takes the lock alone and waits for them.
#
# The leg runs in a mount and PID namespace of its own: everything mounted into
# the chroot, and every process started in it, goes away when the leg ends,
# however it ends.
#
# If no chroot can be had at all (no root, no debootstrap, the archive out of
# reach, sid uninstallable today) the leg is skipped: chroot_open ends it with
# lib.sh's summary, which fails it unless TESSALY_SKIP_LEGS names it.
#
# Environment:
#   TESSALY_SID_CHROOT         where the chroot lives
#   TESSALY_SID_MIRROR         Debian archive URL (default: the one apt uses here)
#   TESSALY_SID_MAX_AGE_DAYS   make a fresh chroot after this many days (default
#                              30; the old one is kept if that fails)
#   TESSALY_SID_REBUILD=1      make a fresh chroot now

chroot_dir=${TESSALY_SID_CHROOT:-/var/cache/tessaly/sid-chroot}
chroot_dir=${chroot_dir%/}
chroot_max_age_days=${TESSALY_SID_MAX_AGE_DAYS:-30}
chroot_marker_name=.tessaly-chroot-ready
chroot_parent=$(dirname "$chroot_dir")
chroot_base=$(basename "$chroot_dir")

# What every leg needs of it, as Debian sid names it.
chroot_packages=(
    # building: the chroot's Qt for the release-Qt leg, and as host tools (moc,
    # rcc, uic, qsb) for the Windows program, cross-built with MinGW-w64
    cmake ninja-build ccache g++ qt6-base-dev qt6-multimedia-dev qt6-shadertools-dev libgl-dev
    g++-mingw-w64-x86-64-posix
    # Qt's sources, for Qt for Windows
    dpkg-dev xz-utils patch
    # the alert sound plays through GStreamer, natively and under wine
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
    # the reference service and its certificates
    python3 python3-h2 openssl ca-certificates
    # a virtual display with a system tray and a sound sink, driven as a person
    # would; sid has no trayer, so the session uses stalonetray
    xvfb xauth stalonetray xdotool x11-utils imagemagick libx11-dev fonts-dejavu-core
    pulseaudio pulseaudio-utils libpulse0
    # the Windows program under wine
    wine wine64
    # the end-to-end tests run in a network namespace of their own
    iproute2 hostname
    # the Windows installers, signed; the MSI's summary written by msitools' library
    nsis wixl msitools python3-gi gir1.2-libmsi-1.0 osslsigncode
)

skip() {
    say "not run: $chroot_skip_what"
    skipped "$label" "$*" || true
    summary
}

# --- Mounts -------------------------------------------------------------------
chroot_mounted=()
unmount_under() {
    # Unmounts everything at or below $1, deepest first.
    local dir=$1 target
    case $dir in /?*) ;; *) return 0 ;; esac
    [ -d "$dir" ] || return 0
    findmnt -rn -o TARGET | awk -v d="$dir" '$0 == d || index($0, d "/") == 1' | sort -r |
        while read -r target; do umount "$target" 2>/dev/null || umount -l "$target" || true; done
}
chroot_cleanup() {
    local dir
    for dir in "${chroot_mounted[@]}"; do unmount_under "$dir"; done
}

mount_system() {
    # /proc, /sys, /dev, /dev/pts, a private /dev/shm and a fresh /tmp inside
    # the chroot $1.
    local c=$1
    case $c in /?*) ;; *) echo "$label: refusing to mount under '$c'" >&2; return 1 ;; esac
    chroot_mounted+=("$c")
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

bind_into_chroot() {
    # Mounts host directory $1 at $2 inside the open chroot, read-only if $3 is
    # "ro". It goes away with the chroot's other mounts.
    local from=$1 to=$chroot_dir$2
    mkdir -p "$to"
    mount --bind "$from" "$to"
    [ "${3:-}" != ro ] || mount -o remount,bind,ro "$to"
}

remove_tree() {
    # Removes a chroot or a leftover of one, never crossing into a mount.
    case $1 in "$chroot_parent"/?*) ;; *) echo "$label: refusing to remove '$1'" >&2; return 1 ;; esac
    unmount_under "$1"
    rm -rf --one-file-system "$1"
}

in_chroot() {
    # Runs a command in chroot $1 with a clean environment. The variables named
    # in chroot_keep_env (and CI) pass on in the environment itself, never on
    # a command line: one may be a password.
    local c=$1 name; shift
    (
        for name in $(compgen -e); do
            case " CI ${chroot_keep_env[*]:-} " in
                *" $name "*) ;;
                *) unset "$name" 2>/dev/null || true ;;
            esac
        done
        export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HOME=/root LANG=C.UTF-8 TERM=dumb \
            DEBIAN_FRONTEND=noninteractive CCACHE_DIR=/var/cache/ccache
        exec chroot "$c" "$@"
    )
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

# --- Making and checking the chroot -------------------------------------------
wanted_list() { printf '%s\n' "${chroot_packages[@]}" | sort -u; }
marker_packages() { sed -n 's/^package //p' "$1/$chroot_marker_name" | sort -u; }
marker_value() { sed -n "s/^$2 //p" "$1/$chroot_marker_name" | head -1; }

write_marker() {
    # Records that chroot $1 is set up, with every package any leg asked for.
    local c=$1 created=$2 recorded=
    [ ! -f "$c/$chroot_marker_name" ] || recorded=$(marker_packages "$c")
    {
        echo "# Written when the setup of this chroot finished; see scripts/chroot.sh"
        echo "mirror $chroot_mirror"
        echo "created $created"
        echo "qt $(chroot_qt_version "$c")"
        { [ -z "$recorded" ] || echo "$recorded"; wanted_list; } | sort -u | sed 's/^/package /'
    } >"$c/$chroot_marker_name.new"
    mv "$c/$chroot_marker_name.new" "$c/$chroot_marker_name"
}

check_chroot() {
    # Succeeds when chroot $1 (with its system mounts in place) is fit for use.
    local c=$1 status missing
    [ -f "$c/$chroot_marker_name" ] || { say "no setup marker in $c"; return 1; }
    in_chroot "$c" /bin/true || { say "cannot run programs in $c"; return 1; }
    if [ -n "$(in_chroot "$c" dpkg --audit 2>&1)" ]; then
        say "dpkg reports unfinished packages in $c"; return 1
    fi
    status=$(in_chroot "$c" dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' \
                 $(marker_packages "$c") 2>&1 | grep -v '^ii ' || true)
    [ -z "$status" ] || { say "packages not installed in $c: $(echo $status)"; return 1; }
    missing=$(in_chroot "$c" bash -c 'for tool; do command -v "$tool" >/dev/null || echo "$tool"; done' \
                  tools "${chroot_tools[@]}" 2>&1 || true)
    [ -z "$missing" ] || { say "tools missing in $c: $(echo $missing)"; return 1; }
    if declare -F chroot_check_leg >/dev/null; then
        chroot_check_leg "$c" || return 1
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

chroot_new=
chroot_setup_log=
make_chroot() {
    # Makes a fresh chroot beside the cached one, in $chroot_new.
    local new
    new=$(mktemp -d "$chroot_parent/.$chroot_base.new.XXXXXX") || return 1
    chmod 755 "$new"
    chroot_new=$new
    chroot_setup_log=$new.log
    say "debootstrap sid from $chroot_mirror into $new (log: $chroot_setup_log)"
    if ! debootstrap --variant=minbase --components=main sid "$new" "$chroot_mirror" \
            >"$chroot_setup_log" 2>&1; then
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
    echo "deb $chroot_mirror sid main" >"$new/etc/apt/sources.list"
    find "$new/etc/apt/sources.list.d" -mindepth 1 -delete

    mount_system "$new" || return 1
    say "installing ${#chroot_packages[@]} packages and their dependencies"
    if ! install_packages "$new" "${chroot_packages[@]}" >>"$chroot_setup_log" 2>&1; then
        say "installing the packages failed"
        return 1
    fi
    mkdir -p "$new/var/cache/ccache" "$new/build"
    write_marker "$new" "$(date +%s)"
    check_chroot "$new" || return 1
    unmount_system "$new"
}

chroot_enter_namespace() {
    # Runs the calling script again in a mount and PID namespace of its own.
    # unshare itself ignores INT and TERM; killing it takes the whole
    # namespace down with it, mounts and processes alike.
    local self child status
    self=$(readlink -f "$0")
    if [ -z "${TESSALY_CHROOT_NS:-}" ]; then
        if unshare --mount --pid --fork --kill-child --propagation private true 2>/dev/null; then
            export TESSALY_CHROOT_NS=1
            unshare --mount --pid --fork --kill-child --propagation private bash "$self" "$@" &
            child=$!
            trap 'kill -KILL $child 2>/dev/null' INT TERM HUP
            status=0
            while :; do
                wait $child || status=$?
                kill -0 $child 2>/dev/null || break
            done
            exit $status
        fi
        say "note: cannot make a mount namespace; mounting in the current one"
        export TESSALY_CHROOT_NS=none
    fi
    # As PID 1 of the namespace, the shell ignores signals it has no handler for.
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

chroot_open() {
    # Makes, reuses or repairs the chroot and leaves it mounted at $chroot_dir.
    local setup_started have reason missing created age_days leftover old

    if [ "$(id -u)" -ne 0 ]; then
        skip "needs root for debootstrap and chroot"
    fi
    chroot_enter_namespace "$@"
    mkdir -p "$chroot_parent"
    trap chroot_cleanup EXIT

    chroot_mirror=${TESSALY_SID_MIRROR:-$(host_mirror || true)}
    chroot_mirror=${chroot_mirror%/}
    [ -n "$chroot_mirror" ] ||
        skip "no Debian archive found in /etc/apt/sources.list or /etc/apt/sources.list.d"

    exec 9>"$chroot_parent/$chroot_base.lock"
    flock -s 9
    if chroot_ready; then
        mount_system "$chroot_dir"
        return 0
    fi
    flock -u 9
    if ! flock -n 9; then
        say "waiting for the runs that use $chroot_dir"
        flock 9
    fi

    # Leftovers of interrupted runs: half-made chroots and old ones being removed.
    for leftover in "$chroot_parent/.$chroot_base.new."* "$chroot_parent/.$chroot_base.old."*; do
        [ -e "$leftover" ] || continue
        case $leftover in *.log) rm -f "$leftover"; continue ;; esac
        say "removing leftover $leftover"
        remove_tree "$leftover"
    done
    unmount_under "$chroot_dir"

    setup_started=$(date +%s)
    have=no      # a sound chroot is there
    reason=      # why a new one should be made
    if [ -f "$chroot_dir/$chroot_marker_name" ] && [ -d "$chroot_dir/usr" ]; then
        mount_system "$chroot_dir"
        missing=$(comm -23 <(wanted_list) <(marker_packages "$chroot_dir"))
        if [ -n "$missing" ]; then
            say "installing packages added since the chroot was made: $(echo $missing)"
            if install_packages "$chroot_dir" $missing >"$chroot_parent/$chroot_base.install.log" 2>&1; then
                write_marker "$chroot_dir" "$(marker_value "$chroot_dir" created)"
                rm -f "$chroot_parent/$chroot_base.install.log"
            else
                say "could not install them (log: $chroot_parent/$chroot_base.install.log)"
                reason="packages are missing from it"
            fi
        fi
        if check_chroot "$chroot_dir"; then
            have=yes
            created=$(marker_value "$chroot_dir" created)
            age_days=$(( ( $(date +%s) - ${created:-0} ) / 86400 ))
            if [ -n "${TESSALY_SID_REBUILD:-}" ]; then
                reason="TESSALY_SID_REBUILD is set"
            elif [ "$age_days" -ge "$chroot_max_age_days" ]; then
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
        say "reusing $chroot_dir (checked in $(elapsed "$setup_started"); alone)"
    elif ! command -v debootstrap >/dev/null; then
        [ $have = yes ] || skip "debootstrap is missing (apt-get install debootstrap)"
        say "debootstrap is missing; keeping the chroot there is"
    else
        say "making a new sid chroot at $chroot_dir: $reason"
        if make_chroot; then
            if [ -e "$chroot_dir" ]; then
                old=$(mktemp -u "$chroot_parent/.$chroot_base.old.XXXXXX")
                mv "$chroot_dir" "$old"
                mv "$chroot_new" "$chroot_dir"
                remove_tree "$old"
            else
                mv "$chroot_new" "$chroot_dir"
            fi
            rm -f "$chroot_setup_log"
            say "new chroot ready after $(elapsed "$setup_started")"
        else
            tail -n 15 "$chroot_setup_log" 2>/dev/null | indent
            [ -z "$chroot_new" ] || remove_tree "$chroot_new"
            [ $have = yes ] ||
                skip "could not make a Debian sid chroot from $chroot_mirror (log: $chroot_setup_log)"
            say "could not make a new chroot; keeping the one there is"
        fi
    fi
    mount_system "$chroot_dir"
    flock -s 9  # done with it alone: others may use it beside this leg
}

chroot_ready() {
    # Under the shared lock: whether the chroot is sound and up to date, as it
    # is used, with nothing to install, repair or make again.
    local started created
    started=$(date +%s)
    [ -f "$chroot_dir/$chroot_marker_name" ] && [ -d "$chroot_dir/usr" ] || return 1
    [ -z "$(comm -23 <(wanted_list) <(marker_packages "$chroot_dir"))" ] || return 1
    [ -z "${TESSALY_SID_REBUILD:-}" ] || return 1
    created=$(marker_value "$chroot_dir" created)
    [ $(( ( $(date +%s) - ${created:-0} ) / 86400 )) -lt "$chroot_max_age_days" ] || return 1
    mount_system "$chroot_dir"
    if ! check_chroot "$chroot_dir" >/dev/null; then
        unmount_system "$chroot_dir"
        return 1
    fi
    unmount_system "$chroot_dir"
    say "reusing $chroot_dir (checked in $(elapsed "$started"))"
}

copy_sources() {
    # Copies the source tree $1 into the empty directory $2 made for it: tracked
    # files and untracked, not ignored ones, so that uncommitted work is built too.
    local from=$1 to=$2
    rm -rf --one-file-system "$to"
    mkdir -p "$to"
    if git -C "$from" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$from" ls-files -z --cached --others --exclude-standard -- . \
                ':(exclude)build' ':(exclude,glob)**/__pycache__/**' |
            while IFS= read -r -d '' file; do
                if [ -e "$from/$file" ] || [ -L "$from/$file" ]; then printf '%s\0' "$file"; fi
            done |
            tar -C "$from" --null --no-recursion -T - -cf - | tar -C "$to" -xf -
    else
        tar -C "$from" --exclude=./build --exclude=./.git --exclude=__pycache__ -cf - . |
            tar -C "$to" -xf -
    fi
}
