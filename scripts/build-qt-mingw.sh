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
# qtbase must take the project's patches for its own MAJOR.MINOR
# (scripts/qt-mingw-patches/qtbase-MAJOR.MINOR/): they bound what Qt's HTTP/1.1
# reader holds, and the release relies on them. A qtbase with no patch folder
# of its version, or a patch that does not apply, fails the build rather than
# giving a Qt without those bounds.
#
# usage: build-qt-mingw.sh PREFIX WORK_DIR
#   PREFIX    where Qt is installed (the fixed path the cache is mounted at)
#   WORK_DIR  sources and build trees; removed and made again
#
# Prints one line per step with its time and, last, what was built into
# PREFIX/tessaly-qt-mingw.txt. Environment: QT_MINGW_JOBS (default: nproc).
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 PREFIX WORK_DIR" >&2
    exit 2
fi
prefix=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
label=qt-mingw
toolchain=$here/../cmake/mingw-w64-x86_64.cmake
patches=$here/qt-mingw-patches
jobs=${QT_MINGW_JOBS:-$(nproc)}

# A step whose output goes to WORK_DIR/NAME.log; its time is recorded.
build_step() {
    local name=$1 started; shift
    started=$(date +%s)
    step "$name" logged "$work/$name.log" "$@"
    echo "step $name $(elapsed "$started")" >>"$work/steps.txt"
}

host_qt=$(qmake6 -query QT_VERSION)
[ -n "$host_qt" ] || fail "no host Qt (qmake6) in the chroot"

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
logged "$work/apt-update.log" apt-get update -q || fail "apt-get update failed"

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
    fail "the archive serves no qt6-base source of Qt $host_qt (the chroot's host tools)"
base_src=$(find "$work/sources" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*')
say "qtbase: Debian source $base_version"

multimedia_version=$(fetch qt6-multimedia at_most_host) ||
    fail "the archive serves no qt6-multimedia source of Qt $host_qt or older"
multimedia_src=$(find "$work/sources" -mindepth 1 -maxdepth 1 -type d -name 'qt6-multimedia-*')
say "qtmultimedia: Debian source $multimedia_version"

rm -f "$src_list"

apply_patches() {
    # Applies scripts/qt-mingw-patches/$1/*.patch, in order, to $2. With $3
    # "required", a missing or empty folder fails the build.
    local dir=$patches/$1 patch applied=0
    for patch in "$dir"/*.patch; do
        [ -e "$patch" ] || continue
        say "applying $1/$(basename "$patch")"
        patch -d "$2" -p1 --forward --quiet <"$patch" || fail "$1/$(basename "$patch") does not apply"
        applied=$((applied + 1))
    done
    [ "${3:-}" != required ] || [ $applied -gt 0 ] ||
        fail "no patches in $dir: the release needs qtbase's HTTP/1.1 bounds ported to Qt $host_qt"
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
    -DQT_UNITY_BUILD=ON
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
apply_patches "qtbase-${host_qt%.*}" "$base_src" required
build_step qtbase-configure cmake -S "$base_src" -B "$work/qtbase-build" \
    "${common_options[@]}" "${base_options[@]}"
grep -E '^ *(Schannel|OpenSSL|Direct 2D|DirectWrite|OpenGL|Using unity build) ' \
    "$work/qtbase-build/config.summary" 2>/dev/null | sed 's/^ */    /' || true
build_step qtbase-build nice cmake --build "$work/qtbase-build" --parallel "$jobs"
build_step qtbase-install cmake --install "$work/qtbase-build"
# What the agent's build looks for to know that the bounds are there.
grep -q MaxHeadBytes "$prefix"/include/QtNetwork/*/QtNetwork/private/qhttpnetworkreply_p.h ||
    fail "the installed qhttpnetworkreply_p.h has no MaxHeadBytes: the patches did not take"

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
build_step qtmultimedia-configure cmake -S "$multimedia_src" -B "$work/qtmultimedia-build" \
    "${common_options[@]}" "${multimedia_options[@]}"
build_step qtmultimedia-build nice cmake --build "$work/qtmultimedia-build" --parallel "$jobs"
build_step qtmultimedia-install cmake --install "$work/qtmultimedia-build"

{
    echo "# Qt for x86_64-w64-mingw32, built by scripts/build-qt-mingw.sh"
    echo "qtbase $base_version"
    echo "qtmultimedia $multimedia_version"
    echo "host-qt $host_qt"
    echo "mingw $(x86_64-w64-mingw32-g++-posix -dumpfullversion) ($(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix))"
    cat "$work/steps.txt"
} >"$prefix/tessaly-qt-mingw.txt"
say "installed $(du -sh "$prefix" | cut -f1) into $prefix"
