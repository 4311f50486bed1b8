#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing the agent
# need, and only those that are missing. Usage: scripts/install-deps.sh [run|test|bench]
set -euo pipefail

profile=${1:-test}

packages=(
    # build
    cmake ninja-build g++ qt6-base-dev qt6-multimedia-dev libgl-dev
    # the alert sound plays through GStreamer
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
    # the reference service and its certificates
    python3 python3-h2 openssl
    # a virtual display with a system tray, driven like a person would
    xvfb xauth trayer xdotool x11-utils imagemagick libx11-dev
)
if [ "$profile" = test ]; then
    packages+=(
        # the resource generator
        sox libsox-fmt-mp3 lame
        # the Windows adapter reader, cross-compiled and run under wine
        g++-mingw-w64-x86-64-posix wine64
        # sanitizers and fuzzing
        clang libclang-rt-14-dev
        # the release Qt, in a chroot of Debian's next release
        debootstrap
    )
fi
if [ "$profile" = bench ]; then
    # strace names what wakes the idle agent; a PulseAudio null sink lets its
    # alert sound play the way it does on a desktop
    packages+=(strace pulseaudio)
fi

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
