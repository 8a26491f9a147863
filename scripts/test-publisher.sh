#!/usr/bin/env bash
# Makes the test publisher that signs a build when no real certificate is given:
# a self-signed root "Tessary Test Release Root" and a code-signing certificate
# "Quellon, Inc." issued by it (RSA 3072, SHA-256).
#
#   scripts/test-publisher.sh DIR
#
# DIR receives root.pem and root.cer (the root, PEM and DER: what a test machine
# trusts), publisher.pem and publisher.key (what scripts/package.sh signs with).
# The root's key is thrown away once the publisher is issued, so nothing else can
# ever chain to this root. An existing complete DIR is kept, so a machine that
# trusts its root keeps trusting what the next package is signed with.
# Prints DIR.
set -euo pipefail
[ $# -eq 1 ] || {
    echo "usage: test-publisher.sh DIR" >&2
    exit 2
}
dir=$1
complete() {
    for f in root.pem root.cer publisher.pem publisher.key; do
        [ -s "$dir/$f" ] || return 1
    done
}
if complete; then
    echo "$dir"
    exit 0
fi
mkdir -p "$(dirname "$dir")"
work=$(mktemp -d "$(dirname "$dir")/.test-publisher.XXXXXX")
trap 'rm -rf "$work"' EXIT
(
    cd "$work"
    umask 077
    openssl genrsa -out root.key 3072 2>/dev/null
    printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\nsubjectKeyIdentifier=hash\n' >root.ext
    openssl req -new -key root.key -subj "/O=Tessary Test PKI/CN=Tessary Test Release Root" -config /dev/null \
        -out root.csr
    openssl x509 -req -in root.csr -signkey root.key -days 3650 -sha256 -set_serial 1 -extfile root.ext \
        -out root.pem 2>/dev/null
    openssl genrsa -out publisher.key 3072 2>/dev/null
    printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature extendedKeyUsage=codeSigning \
        subjectKeyIdentifier=hash authorityKeyIdentifier=keyid >publisher.ext
    openssl req -new -key publisher.key -subj "/O=Tessary Test PKI/CN=Quellon, Inc." -config /dev/null \
        -out publisher.csr
    openssl x509 -req -in publisher.csr -CA root.pem -CAkey root.key -days 1825 -sha256 -set_serial 2 \
        -extfile publisher.ext -out publisher.pem 2>/dev/null
    openssl x509 -in root.pem -outform DER -out root.cer
    openssl verify -CAfile root.pem publisher.pem >/dev/null
    chmod 644 root.pem root.cer publisher.pem
    rm -f root.key ./*.csr ./*.ext ./*.srl
)
# The folder appears whole or not at all.
rm -rf "$dir"
mv "$work" "$dir"
trap - EXIT
echo "$dir"
