#!/usr/bin/env bash
# Signs shamrig.exe inside a package that scripts/package.sh made and packs
# it again into OUT_DIR under the same name, with its .sha256 beside it:
# the other entries, their order, times and modes are the package's own,
# so only the executable's signature differs. Authenticode with SHA-256,
# by osslsigncode, and an RFC 3161 time stamp when a server is named.
#   SIGN_PFX=cert.pfx SIGN_PASSWORD_FILE=pass.txt [SIGN_TIMESTAMP_URL=URL] \
#     scripts/sign-package.sh build/release/shamrig-X.Y.Z-win64.zip OUT_DIR
# The password is read from a file, never from the command line, where
# other processes could see it. Prints the new zip's path, then the signing
# certificate as an operator checks it ("subject: ..." and "thumbprint:
# ...", its SHA-1 in upper-case hex, as Windows shows a thumbprint).
set -eu
zip_in=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
mkdir -p "$2"
out=$(cd "$2" && pwd)
: "${SIGN_PFX:?the PKCS#12 file with the certificate and its key}"
: "${SIGN_PASSWORD_FILE:?the file that holds its password}"
[ "$out" != "$(dirname "$zip_in")" ] || { echo "OUT_DIR must not hold the package itself" >&2; exit 1; }
# The certificate that goes with the key; OpenSSL 3 reads a file that older
# tools wrote with RC2 or 3DES only through its legacy provider.
leaf() { openssl pkcs12 -in "$SIGN_PFX" -passin "file:$SIGN_PASSWORD_FILE" -nokeys -clcerts "$@" 2>/dev/null; }
cert=$(leaf || leaf -legacy) || true
subject=$(openssl x509 -noout -subject -nameopt RFC2253 <<<"$cert" 2>/dev/null | sed 's/^subject=//')
thumbprint=$(openssl x509 -noout -fingerprint -sha1 <<<"$cert" 2>/dev/null | sed 's/^.*=//; s/://g')
[ -n "$thumbprint" ] || { echo "no certificate with its key in $SIGN_PFX" >&2; exit 1; }
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mapfile -t entries < <(cmake -E tar tf "$zip_in")
[ "${#entries[@]}" -gt 0 ] || { echo "$zip_in lists no entries" >&2; exit 1; }
# Zip times are local times: read and written in UTC, as the package was.
(cd "$stage" && TZ=UTC cmake -E tar xf "$zip_in")
[ -f "$stage/shamrig.exe" ] || { echo "$zip_in holds no shamrig.exe" >&2; exit 1; }
timestamp=()
[ -z "${SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$SIGN_TIMESTAMP_URL")
osslsigncode sign -pkcs12 "$SIGN_PFX" -readpass "$SIGN_PASSWORD_FILE" -h sha256 \
    -n shamrig "${timestamp[@]}" -in "$stage/shamrig.exe" -out "$stage/signed.exe" >/dev/null
touch -r "$stage/shamrig.exe" "$stage/signed.exe"
chmod --reference="$stage/shamrig.exe" "$stage/signed.exe"
mv "$stage/signed.exe" "$stage/shamrig.exe"
zip=$out/$(basename "$zip_in")
rm -f "$zip"
(cd "$stage" && TZ=UTC zip -q -X -D "$zip" "${entries[@]}")
(cd "$out" && sha256sum "$(basename "$zip")" >"$(basename "$zip").sha256")
echo "$zip"
echo "subject: $subject"
echo "thumbprint: $thumbprint"
