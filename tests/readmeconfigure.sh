#!/usr/bin/env bash
# Runs the configure command of README.md's "Linux build for a real service"
# as the README writes it, with tests on as CMake's default has them, in the
# folder BUILD_DIR instead of the one it names.
# Usage: readmeconfigure.sh SOURCE_DIR BUILD_DIR
set -euo pipefail

source=$1 build=$2
# The block's first command, with the lines that continue it.
command=$(awk '/A Linux build for a real service:/ { found = 1 }
               found && /^```/ { if (inside) exit; inside = 1; next }
               inside { print; if (!/\\$/) exit }' "$source/README.md")
case $command in cmake\ *\ -B\ *) ;; *) echo "no configure command in README.md: '$command'"; exit 1 ;; esac
command=$(sed -E "s|-B [^ ]+|-B $(printf %q "$build")|" <<<"$command")
echo "$command"
rm -rf "$build"
cd "$source"
eval "$command"
