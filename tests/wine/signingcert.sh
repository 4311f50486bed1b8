#!/usr/bin/env bash
# A code-signing certificate made for one test run: DIR/ca.pem, a CA of its
# own, and DIR/signer.p12, a certificate it issued for code signing with its
# key, under the password in $TESSALY_SIGN_PASSWORD (read by openssl from the
# environment, never from a command line). Valid for two days.
# Usage: signingcert.sh DIR
set -euo pipefail
cd "$1"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Tessaly test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Tessaly test signer"
printf '%s\n' extendedKeyUsage=codeSigning keyUsage=critical,digitalSignature >signer.ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -days 2 -extfile signer.ext -out signer.pem
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem \
    -passout env:TESSALY_SIGN_PASSWORD -out signer.p12
rm -f ca.key signer.key signer.csr signer.ext
