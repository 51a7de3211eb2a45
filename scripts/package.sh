#!/usr/bin/env bash
# Packs the mingw-w64 build in BUILD_DIR into shamrig-VERSION-win64.zip and
# its .sha256 beside it: the executable, the README and the operator's
# guide. The same commit gives the same bytes on any machine with the same
# toolchain: entries in a fixed order, each stamped with SOURCE_DATE_EPOCH
# (default: the commit's time) in UTC, fixed modes, and no owner, access
# time or other extra field.
#   scripts/package.sh build/windows
set -eu
cd "$(dirname "$0")/.."
dir=$(cd "$1" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $dir/CMakeCache.txt" >&2; exit 1; }
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
zip=$dir/shamrig-$version-win64.zip
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
install -m 755 "$dir/shamrig.exe" "$stage/shamrig.exe"
install -m 644 README.md "$stage/README.md"
install -m 644 -D docs/operator-guide.zh-CN.md "$stage/docs/operator-guide.zh-CN.md"
entries=(shamrig.exe README.md docs/operator-guide.zh-CN.md)
(cd "$stage" && touch -d "@$epoch" "${entries[@]}")
rm -f "$zip"
(cd "$stage" && TZ=UTC zip -q -X -D "$zip" "${entries[@]}")
(cd "$dir" && sha256sum "$(basename "$zip")" >"$(basename "$zip").sha256")
echo "$zip"
