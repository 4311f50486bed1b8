#!/bin/sh
# Signs a Windows program or MSI package in place with a SHA-256 Authenticode
# signature made by osslsigncode; the build runs it when TESSALY_SIGN_PKCS12
# names a certificate (cmake/Deploy.cmake, cmake/Installer.cmake,
# cmake/MsiBuild.cmake).
#
# usage: sign.sh [--time=EPOCH] [--timestamp=URL] OSSLSIGNCODE PKCS12 FILE
#   --time       the signing time the signature states (else the current
#                time), so that the same file signed twice with the same
#                certificate gives the same bytes
#   --timestamp  an RFC 3161 time-stamping service that countersigns instead
#
# The certificate's password is taken from $TESSALY_SIGN_PASSWORD and reaches
# osslsigncode on its standard input, written by the shell's own printf: it is
# never on a command line nor in a file.
set -eu
time= timestamp=
while :; do
    case $1 in
        --time=*) time=${1#--time=} ;;
        --timestamp=*) timestamp=${1#--timestamp=} ;;
        *) break ;;
    esac
    shift
done
tool=$1 pkcs12=$2 file=$3
if [ -z "${TESSALY_SIGN_PASSWORD:-}" ]; then
    echo "sign.sh: TESSALY_SIGN_PASSWORD is not set: it holds the password of $pkcs12" >&2
    exit 1
fi
set -- sign -pkcs12 "$pkcs12" -readpass /dev/stdin -h sha256 -n Tessaly -in "$file" -out "$file.signed"
# An MSI's signature also covers its streams' names and metadata.
case $file in *.msi) set -- "$@" -add-msi-dse ;; esac
if [ -n "$timestamp" ]; then
    set -- "$@" -ts "$timestamp"
elif [ -n "$time" ]; then
    set -- "$@" -time "$time"
fi
rm -f "$file.signed"
if ! output=$(printf '%s' "$TESSALY_SIGN_PASSWORD" | "$tool" "$@" 2>&1); then
    echo "$output" >&2
    rm -f "$file.signed"
    exit 1
fi
mv "$file.signed" "$file"
