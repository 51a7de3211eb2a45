#!/usr/bin/env bash
# The signing path of a release, with a throwaway certificate made here
# (openssl): the package in BUILD_DIR signed by scripts/sign-package.sh,
# every other entry and the order unchanged, the signature verified against
# that certificate (and a copy changed by one byte refused), the thumbprint
# it names for the release notes that certificate's, the signature
# stripped again to the unsigned bytes, and the signed executable run once
# under Wine, where it must print what the unsigned one prints. No time
# stamp: no server is reached from here.
#   scripts/check-signing.sh build/windows
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "$1" && pwd)
zip=$(ls "$dir"/shamrig-*-win64.zip)
# The Wine the Windows build's tests run on, as its toolchain file names it.
emulator=$(sed -n 's/^set(CMAKE_CROSSCOMPILING_EMULATOR \(.*\))$/\1/p' "$src/cmake/mingw-w64-x86_64.cmake")
[ -x "$emulator" ] || { echo "no Wine at '$emulator' (cmake/mingw-w64-x86_64.cmake)" >&2; exit 1; }
wine_dir=$(dirname "$emulator")
work=$(mktemp -d)
prefix=$work/prefix
trap 'sh "$src/tests/wine_prefix.sh" stop "$prefix" "$wine_dir" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
cd "$work"

openssl req -x509 -newkey rsa:2048 -sha256 -days 1 -nodes -subj "/CN=shamrig throwaway test signer" \
    -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
    -keyout key.pem -out cert.pem 2>/dev/null
openssl rand -hex 16 >password
openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.pfx -passout file:password
SIGN_PFX=$work/signer.pfx SIGN_PASSWORD_FILE=$work/password "$src/scripts/sign-package.sh" "$zip" signed >named
signed=signed/$(basename "$zip")
thumbprint=$(openssl x509 -in cert.pem -noout -fingerprint -sha1 | sed 's/^.*=//; s/://g')
if ! grep -qx "thumbprint: $thumbprint" named || ! grep -qx "subject: CN=shamrig throwaway test signer" named; then
    echo "the signing names another certificate than $thumbprint (CN=shamrig throwaway test signer):"
    cat named
    exit 1
fi
(cd signed && sha256sum --check --strict --quiet "$(basename "$zip").sha256")

if [ "$(cmake -E tar tf "$zip")" != "$(cmake -E tar tf "$signed")" ]; then
    echo "the signed package lists other entries, or another order:"
    cmake -E tar tf "$signed"
    exit 1
fi
mkdir unsigned-files signed-files
(cd unsigned-files && cmake -E tar xf "$zip")
(cd signed-files && cmake -E tar xf "../$signed")
cmp unsigned-files/README.md signed-files/README.md
cmp unsigned-files/docs/operator-guide.zh-CN.md signed-files/docs/operator-guide.zh-CN.md
if cmp -s unsigned-files/shamrig.exe signed-files/shamrig.exe; then
    echo "the signed package's shamrig.exe is the unsigned one"
    exit 1
fi

if ! osslsigncode verify -CAfile cert.pem -in signed-files/shamrig.exe >verify.log 2>&1 ||
    ! grep -q "^Signature verification: ok" verify.log; then
    cat verify.log
    exit 1
fi
# One byte of the code changed: the same certificate must refuse it.
cp signed-files/shamrig.exe changed.exe
size=$(stat -c %s changed.exe)
byte=X
[ "$(dd if=changed.exe bs=1 skip=$((size / 2)) count=1 status=none)" != X ] || byte=Y
printf '%s' "$byte" | dd of=changed.exe bs=1 seek=$((size / 2)) conv=notrunc status=none
if osslsigncode verify -CAfile cert.pem -in changed.exe >changed.log 2>&1; then
    echo "a changed copy of the signed shamrig.exe verified:"
    cat changed.log
    exit 1
fi
osslsigncode remove-signature -in signed-files/shamrig.exe -out stripped.exe >/dev/null
cmp stripped.exe unsigned-files/shamrig.exe

# Once under Wine, in a prefix of its own: the same output as the unsigned
# executable's, and the same exit status, 0.
sh "$src/tests/wine_prefix.sh" start "$prefix" "$wine_dir" >/dev/null
for which in unsigned signed; do
    status=0
    WINEPREFIX=$prefix WINEDEBUG=-all "$emulator" "$which-files/shamrig.exe" list \
        </dev/null >"$which.out" 2>"$which.err" || status=$?
    if [ "$status" != 0 ] || [ ! -s "$which.out" ]; then
        echo "the $which shamrig.exe list exited with $status and printed $(wc -c <"$which.out") bytes:"
        cat "$which.out" "$which.err"
        exit 1
    fi
done
cmp unsigned.out signed.out
echo "signed with a throwaway certificate ($thumbprint): verified ($(grep -m1 -E '^Calculated message digest' verify.log | tr -s ' ')),"
echo "a changed copy refused, the signature stripped to the unsigned bytes, and under Wine the same output ($(wc -c <signed.out) bytes)"
