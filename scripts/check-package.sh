#!/usr/bin/env bash
# Checks the Windows zip in BUILD_DIR: exactly the executable, the README
# and the operator's guide, each the same as what was built and written,
# the executable without debug sections, and the SHA-256 file beside it
# matching the zip. Given AGAIN_DIR, a second build of the same commit in a
# clean folder, its zip must be the same bytes.
#   scripts/check-package.sh build/windows [build/windows-again]
set -eu
dir=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
zip=$(ls "$dir"/shamrig-*-win64.zip)
expected="README.md docs/operator-guide.zh-CN.md shamrig.exe "
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
sections=$(x86_64-w64-mingw32-objdump -h "$unpacked/shamrig.exe" | awk '$2 ~ /^\./ {print $2}' | tr '\n' ' ')
case " $sections" in
*" .text "*) ;;
*) echo "objdump read no sections from shamrig.exe: $sections"; exit 1 ;;
esac
case " $sections" in
*" .debug"*) echo "shamrig.exe carries debug sections: $sections"; exit 1 ;;
esac
echo "$(basename "$zip"): the executable (sections: $sections), README.md and the guide; checksum matches"
if [ $# -gt 1 ]; then
    again=$(cd "$2" && pwd)
    cmp "$zip" "$again/$(basename "$zip")"
    cmp "$zip.sha256" "$again/$(basename "$zip").sha256"
    echo "built again in $again: the same bytes, $(cut -d' ' -f1 "$zip.sha256")"
fi
