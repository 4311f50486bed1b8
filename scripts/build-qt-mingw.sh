#!/usr/bin/env bash
# Cross-compiles, from Debian's own source packages, the part of Qt that the
# agent and its tests use, for 64-bit Windows with MinGW-w64: Core, Gui,
# Widgets, Network (TLS through Schannel), Test, the windows and offscreen
# platforms, the ico image format, and Multimedia on Windows Media Foundation.
#
# Runs inside the Debian sid chroot (scripts/test-windows.sh calls it there and
# keeps the result in a cache). The host tools (moc, rcc, uic, qsb) are the
# chroot's own Qt, so the source of qtbase must be the same upstream version;
# Multimedia is the same version where the archive serves it, else the newest
# it serves, patched to build (see scripts/qt-mingw-patches/).
#
# usage: build-qt-mingw.sh [--core-only] PREFIX WORK_DIR
#   PREFIX    where Qt is installed (the fixed path the cache is mounted at)
#   WORK_DIR  sources and build trees; removed and made again
#   --core-only  configure qtbase and build QtCore only, to catch configure and
#                toolchain errors before paying for the whole build
#
# Prints one "qt-mingw: step ..." line per step with its wall and CPU seconds
# and, last, what was built into PREFIX/tessaly-qt-mingw.txt.
set -euo pipefail

core_only=no
if [ "${1:-}" = --core-only ]; then core_only=yes; shift; fi
if [ $# -ne 2 ]; then
    echo "usage: $0 [--core-only] PREFIX WORK_DIR" >&2
    exit 2
fi
prefix=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
toolchain=$here/../cmake/mingw-w64-x86_64.cmake
patches=$here/qt-mingw-patches
jobs=${QT_MINGW_JOBS:-$(nproc)}
# Qt's unity build compiles several sources as one; QT_MINGW_UNITY_BUILD=OFF
# is there to measure what it saves (with --core-only).
unity=${QT_MINGW_UNITY_BUILD:-ON}

say() { printf 'qt-mingw: %s\n' "$*"; }
die() { say "$*" >&2; exit 1; }
version_ge() { printf '%s\n%s\n' "$2" "$1" | sort -V -C; }

# Runs "$@" as one named step and reports its wall time and the CPU time of
# everything it started.
step() {
    local name=$1; shift
    local TIMEFORMAT="%R %U %S" times
    say "$name ..."
    { times=$( { time "$@" >>"$work/$name.log" 2>&1; } 2>&1 ); } ||
        { tail -n 40 "$work/$name.log" | sed 's/^/    /'; die "$name failed (log: $work/$name.log)"; }
    read -r wall user sys <<<"$times"
    say "$name: $(awk -v w="$wall" -v u="$user" -v s="$sys" 'BEGIN { printf "%.0f s wall, %.0f CPU-s", w, u + s }')"
    echo "step $name wall $wall user $user sys $sys" >>"$work/steps.txt"
}

host_qt=$(qmake6 -query QT_VERSION)
[ -n "$host_qt" ] || die "no host Qt (qmake6) in the chroot"

rm -rf --one-file-system "$work"
mkdir -p "$work/sources"

# --- Sources -------------------------------------------------------------------
# deb-src lines for the suites that carry Qt's sources; sid's newest source is
# not always on the archive when its binaries are (measured: 404 for qt6-base
# 6.11.2+dfsg-7 while testing served -5).
mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list)
# The lines go again once the sources are fetched, so that the chroot's other
# users do not download source indexes on every apt-get update.
src_list=/etc/apt/sources.list.d/tessaly-qt-sources.list
trap 'rm -f "$src_list"' EXIT
printf 'deb-src %s %s main\n' "$mirror" sid "$mirror" testing "$mirror" trixie >"$src_list"
apt-get update -q >"$work/apt-update.log" 2>&1 || die "apt-get update failed (log: $work/apt-update.log)"

source_versions() {
    # Versions of source package $1 the indexes list, newest first.
    apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u | sort -r -V
}
upstream_of() { local v=${1#*:}; v=${v%-*}; echo "${v%+dfsg*}"; }

fetch() {
    # Fetches and unpacks (with Debian's patches) the newest source of $1 whose
    # upstream version passes the test "$2 UPSTREAM"; prints the version taken.
    local package=$1 wanted=$2 version
    for version in $(source_versions "$package"); do
        "$wanted" "$(upstream_of "$version")" || continue
        if (cd "$work/sources" && apt-get source -q --only-source "$package=$version") \
                >>"$work/sources/$package.log" 2>&1; then
            echo "$version"
            return 0
        fi
        say "the archive does not serve $package $version" >&2
    done
    return 1
}
same_as_host() { [ "$1" = "$host_qt" ]; }
at_most_host() { version_ge "$host_qt" "$1"; }   # newest first: the same version where served

base_version=$(fetch qt6-base same_as_host) ||
    die "the archive serves no qt6-base source of Qt $host_qt (the chroot's host tools)"
base_src=$(find "$work/sources" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*')
say "qtbase: Debian source $base_version"

multimedia_version=
multimedia_src=
if [ $core_only = no ]; then
    multimedia_version=$(fetch qt6-multimedia at_most_host) ||
        die "the archive serves no qt6-multimedia source of Qt $host_qt or older"
    multimedia_src=$(find "$work/sources" -mindepth 1 -maxdepth 1 -type d -name 'qt6-multimedia-*')
    say "qtmultimedia: Debian source $multimedia_version"
fi

rm -f "$src_list"

apply_patches() {
    # Applies scripts/qt-mingw-patches/MODULE-MAJOR.MINOR/*.patch, in order, to $2.
    local dir=$patches/$1 patch
    [ -d "$dir" ] || return 0
    for patch in "$dir"/*.patch; do
        [ -e "$patch" ] || continue
        say "applying $1/$(basename "$patch")"
        patch -d "$2" -p1 --forward --quiet <"$patch" || die "$(basename "$patch") does not apply"
    done
}

# --- qtbase --------------------------------------------------------------------
common_options=(
    -G Ninja
    -DCMAKE_TOOLCHAIN_FILE="$toolchain"
    -DQT_HOST_PATH=/usr
    -DQT_HOST_PATH_CMAKE_DIR="$(qmake6 -query QT_INSTALL_LIBS)/cmake"
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX="$prefix"
    -DQT_BUILD_EXAMPLES=OFF
    -DQT_BUILD_TESTS=OFF
    -DQT_BUILD_BENCHMARKS=OFF
    -DQT_GENERATE_SBOM=OFF
    -DQT_UNITY_BUILD="$unity"
)
base_options=(
    # No OpenGL at all: FEATURE_opengl=OFF alone leaves dynamic GL on, which
    # the windows platform plugin then fails to build with.
    -DINPUT_opengl=no
    # TLS through Windows' own Schannel; no OpenSSL is shipped.
    -DINPUT_openssl=no -DFEATURE_openssl=OFF -DFEATURE_schannel=ON
    # Debian's tarball has no wintab headers.
    -DFEATURE_tabletevent=OFF
    # Modules and libraries nothing here uses.
    -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF
    -DFEATURE_icu=OFF -DFEATURE_glib=OFF
    # Plugins nothing here loads. Direct2D itself stays: QtGui's font database
    # needs it; 1.1 only adds the separate direct2d platform plugin.
    -DFEATURE_direct2d1_1=OFF -DFEATURE_gif=OFF -DFEATURE_jpeg=OFF
    -DFEATURE_tuiotouch=OFF
)

cd "$work"
apply_patches "qtbase-${host_qt%.*}" "$base_src"
step qtbase-configure cmake -S "$base_src" -B "$work/qtbase-build" \
    "${common_options[@]}" "${base_options[@]}"
grep -E '^ *(Schannel|OpenSSL|Direct 2D|DirectWrite|OpenGL|Using unity build) ' \
    "$work/qtbase-build/config.summary" 2>/dev/null | sed 's/^ */    /' || true
if [ $core_only = yes ]; then
    step qtcore-build nice cmake --build "$work/qtbase-build" --parallel "$jobs" --target Core
    say "QtCore built; stopping here (--core-only)"
    exit 0
fi
step qtbase-build nice cmake --build "$work/qtbase-build" --parallel "$jobs"
step qtbase-install cmake --install "$work/qtbase-build"

# --- qtmultimedia --------------------------------------------------------------
multimedia_upstream=$(upstream_of "$multimedia_version")
apply_patches "qtmultimedia-${multimedia_upstream%.*}" "$multimedia_src"
if ! version_ge "$multimedia_upstream" 6.9; then
    # Before 6.9 a file-local category was written "static Q_LOGGING_CATEGORY",
    # which Qt 6.9's exported category definitions no longer allow.
    grep -rlZ 'static Q_LOGGING_CATEGORY' "$multimedia_src/src" |
        xargs -0 -r sed -i 's/static Q_LOGGING_CATEGORY/Q_STATIC_LOGGING_CATEGORY/'
fi
multimedia_options=(
    -DCMAKE_PREFIX_PATH="$prefix"
    # Shaders are baked at build time by the host's qsb; the target needs no
    # ShaderTools library of its own.
    -DQt6ShaderTools_DIR="$(qmake6 -query QT_INSTALL_LIBS)/cmake/Qt6ShaderTools"
    # Windows Media Foundation only; no FFmpeg, no GStreamer.
    -DFEATURE_wmf=ON -DFEATURE_ffmpeg=OFF -DFEATURE_gstreamer=OFF
    -DFEATURE_spatialaudio=OFF -DFEATURE_spatialaudio_quick3d=OFF
)
step qtmultimedia-configure cmake -S "$multimedia_src" -B "$work/qtmultimedia-build" \
    "${common_options[@]}" "${multimedia_options[@]}"
step qtmultimedia-build nice cmake --build "$work/qtmultimedia-build" --parallel "$jobs"
step qtmultimedia-install cmake --install "$work/qtmultimedia-build"

{
    echo "# Qt for x86_64-w64-mingw32, built by scripts/build-qt-mingw.sh"
    echo "qtbase $base_version"
    echo "qtmultimedia $multimedia_version"
    echo "host-qt $host_qt"
    echo "mingw $(x86_64-w64-mingw32-g++-posix -dumpfullversion) ($(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix))"
    cat "$work/steps.txt"
} >"$prefix/tessaly-qt-mingw.txt"
say "installed $(du -sh "$prefix" | cut -f1) into $prefix"
