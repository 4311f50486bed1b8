# Qt for Windows, cross-built by scripts/build-qt-mingw.sh once and kept.
# Sourced after scripts/chroot.sh has opened the chroot:
#
#   qt_mingw_open ROOT BUILD_SCRIPT PREFIX
#
# leaves it mounted read-only at PREFIX inside the chroot, built first (with
# BUILD_SCRIPT, the chroot's path of ROOT/scripts/build-qt-mingw.sh) when the
# cache has no sound entry for it. Then $qt_mingw_info says what it was built
# from and $qt_mingw_origin whether it was built now or taken from the cache.
#
# The cache, $TESSALY_QT_MINGW_CACHE (default /var/cache/tessaly/qt-mingw),
# holds one entry, named after the Qt version and a hash of what the build
# depends on: the build script, the toolchain file, the patches and the MinGW
# version. An entry counts only once its marker is written, last, after its
# files check out; it is built in a temporary directory and renamed into place,
# so an interrupted build never counts. One build at a time: the others wait on
# a lock. TESSALY_QT_MINGW_REBUILD=1 builds it again.

qt_mingw_cache=${TESSALY_QT_MINGW_CACHE:-/var/cache/tessaly/qt-mingw}
qt_mingw_cache=${qt_mingw_cache%/}
qt_mingw_marker=.tessaly-qt-ready
# What the agent, its tests and its deployment need from it.
qt_mingw_expected=(
    bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll bin/Qt6Network.dll bin/Qt6Test.dll
    bin/Qt6Multimedia.dll
    plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll
    plugins/tls/qschannelbackend.dll plugins/imageformats/qico.dll
    plugins/styles/qmodernwindowsstyle.dll plugins/multimedia/windowsmediaplugin.dll
    lib/libQt6EntryPoint.a
    lib/cmake/Qt6/Qt6Config.cmake lib/cmake/Qt6Multimedia/Qt6MultimediaConfig.cmake
)

qt_mingw_files_present() {
    local file
    for file in "${qt_mingw_expected[@]}"; do
        [ -s "$1/$file" ] || { say "$1 lacks $file"; return 1; }
    done
}

qt_mingw_open() {
    local root=$1 build_script=$2 prefix=$3 c=$chroot_dir
    local host_qt mingw_package hash entry leftover new old started
    host_qt=$(in_chroot "$c" qmake6 -query QT_VERSION)
    mingw_package=$(in_chroot "$c" dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)
    hash=$(cd "$root" && { cat scripts/build-qt-mingw.sh cmake/mingw-w64-x86_64.cmake
                           find scripts/qt-mingw-patches -type f -name '*.patch' 2>/dev/null |
                               sort | xargs -r cat
                           echo "mingw $mingw_package"; } | sha256sum | cut -c1-12)
    entry=$qt_mingw_cache/$host_qt-$hash

    mkdir -p "$qt_mingw_cache"
    exec 8>"$qt_mingw_cache/.lock"
    flock 8
    for leftover in "$qt_mingw_cache"/.*.new.*; do
        [ -e "$leftover" ] || continue
        say "removing leftover $leftover"
        rm -rf --one-file-system "$leftover"
    done

    qt_mingw_origin="from the cache"
    if [ -n "${TESSALY_QT_MINGW_REBUILD:-}" ] || [ ! -f "$entry/$qt_mingw_marker" ] ||
            ! qt_mingw_files_present "$entry"; then
        say "building Qt $host_qt for Windows into $entry (the longest step; its record says how long each part took)"
        started=$(date +%s)
        new=$(mktemp -d "$qt_mingw_cache/.$host_qt-$hash.new.XXXXXX")
        chmod 755 "$new"
        bind_into_chroot "$new" "$prefix"
        in_chroot "$c" nice bash "$build_script" "$prefix" /build/qt-mingw ||
            fail "building Qt for Windows failed (logs in the chroot under /build/qt-mingw)"
        umount "$c$prefix"
        qt_mingw_files_present "$new" || fail "the new Qt for Windows lacks files it should have"
        echo "# Written last, once the build finished; see scripts/qt-mingw-cache.sh" >"$new/$qt_mingw_marker"
        rm -rf --one-file-system "$c/build/qt-mingw"
        if [ -e "$entry" ]; then
            old=$(mktemp -u "$qt_mingw_cache/.$host_qt-$hash.old.XXXXXX")
            mv "$entry" "$old"
            mv "$new" "$entry"
            rm -rf --one-file-system "$old"
        else
            mv "$new" "$entry"
        fi
        # Entries for other versions or options are not used again.
        find "$qt_mingw_cache" -mindepth 1 -maxdepth 1 -type d ! -path "$entry" \
            -exec rm -rf --one-file-system {} +
        qt_mingw_origin="built in $(elapsed "$started")"
    fi
    bind_into_chroot "$entry" "$prefix" ro
    qt_mingw_info=$(grep -E '^(qtbase|qtmultimedia|mingw) ' "$entry/tessaly-qt-mingw.txt" |
                        paste -sd ';' | sed 's/;/; /g')
    say "Qt for Windows $host_qt ($qt_mingw_origin, $(du -sh "$entry" | cut -f1)): $qt_mingw_info"
}
