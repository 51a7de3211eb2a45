#!/usr/bin/env bash
# Checks the Windows zip in BUILD_DIR: exactly the executable, the README
# and the operator's guide, each the same as what was built and written,
# and the SHA-256 file beside it matching the zip.
#   scripts/check-package.sh build/windows
set -eu
dir=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
zip=$(ls "$dir"/shamrig-*-win64.zip)
expected="README.md docs/ docs/operator-guide.zh-CN.md shamrig.exe "
listed=$(cmake -E tar tf "$zip" | sort | tr '\n' ' ')
if [ "$listed" != "$expected" ]; then
    echo "the zip holds: $listed"
    echo "it should hold: $expected"
    exit 1
fi
(cd "$dir" && sha256sum --check --strict "$(basename "$zip").sha256")
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "$zip")
cmp "$unpacked/shamrig.exe" "$dir/shamrig.exe"
cmp "$unpacked/README.md" "$src/README.md"
cmp "$unpacked/docs/operator-guide.zh-CN.md" "$src/docs/operator-guide.zh-CN.md"
echo "$(basename "$zip"): the executable, README.md and the guide; checksum matches"
