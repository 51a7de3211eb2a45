#!/usr/bin/env bash
# clang-tidy over the project's C++ files that a build compiles, as its
# compile_commands.json names them; any finding fails. Each file gets the
# whole set of .clang-tidy once, from the native build; the Windows build
# then adds only what it can show and the native one cannot:
#   scripts/tidy.sh build/native
#   scripts/tidy.sh build/windows build/native
# Against the mingw-w64 headers (the target and the C++ library that the
# Windows build writes into its clang-args.txt), every file the Windows
# build compiles is held to what MSVC rejects under /W4 /WX and GCC does
# not: a 64-bit value narrowed to 32 bits without a cast (C4267), which
# clang names wherever its range analysis cannot prove it safe, and a
# declaration that hides another (C4456-C4459), which clang's shadow
# warnings name even where a using-directive brought the hidden one in.
# A file the native build also compiles gets only that, from clang-check; a
# file only the Windows build compiles gets the whole set as well.
# JOBS files at a time (default: the number of cores).
set -u
cd "$(dirname "$0")/.." || exit 1
build=${1:?usage: scripts/tidy.sh BUILD_DIR [NATIVE_BUILD_DIR]}
native=${2:-}
jobs=${JOBS:-$(nproc)}

# The project's files in a build's compilation database: its own sources,
# not GoogleTest's, which the Windows build compiles too.
files_of() {
    [ -f "$1/compile_commands.json" ] || return 1
    sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$1/compile_commands.json" | grep -v /googletest/ | LC_ALL=C sort -u
}
if ! files=$(files_of "$build") || [ -z "$files" ]; then
    echo "$build/compile_commands.json names no file: configure $build first"
    exit 1
fi
tidy=$(command -v clang-tidy) || { echo "clang-tidy is not installed"; exit 1; }

# run FILE COMMAND...: one file's check; its output is shown only when the
# check fails, so that parallel runs do not mix their lines.
run() {
    local file=$1 out
    shift
    if ! out=$("$@" "$file" 2>&1); then
        printf '%s\n' "$out"
        return 1
    fi
}
export -f run
# over COMMAND... <FILES: the command on every file, JOBS at a time.
over() {
    xargs -r -d '\n' -P "$jobs" -I{} bash -c 'run "$@"' _ {} "$@"
}

if [ -z "$native" ]; then
    count=$(echo "$files" | wc -l)
    echo "$files" | over "$tidy" --quiet -p "$build" || { echo "clang-tidy: findings in $build's files"; exit 1; }
    echo "clang-tidy: $count files of $build, the whole set, no finding"
    exit 0
fi

[ -f "$build/clang-args.txt" ] || { echo "$build/clang-args.txt is missing: not a cross build"; exit 1; }
native_files=$(files_of "$native") || { echo "$native/compile_commands.json is missing"; exit 1; }
target=(--extra-arg-before=--driver-mode=g++)
while IFS= read -r arg; do
    [ -n "$arg" ] && target+=("--extra-arg=$arg")
done <"$build/clang-args.txt"
msvc=(--extra-arg=-Wshorten-64-to-32 --extra-arg=-Wshadow-all)
shared=$(LC_ALL=C comm -12 <(echo "$files") <(echo "$native_files"))
only=$(LC_ALL=C comm -23 <(echo "$files") <(echo "$native_files"))
check=$(dirname "$(readlink -f "$tidy")")/clang-check
[ -x "$check" ] || { echo "no clang-check beside $tidy"; exit 1; }
status=0
if [ -n "$shared" ]; then
    # Every warning off, then those two on, as errors.
    echo "$shared" | over "$check" -p "$build" "${target[@]}" --extra-arg=-Wno-everything "${msvc[@]}" \
        --extra-arg=-Werror || status=1
fi
if [ -n "$only" ]; then
    echo "$only" | over "$tidy" --quiet -p "$build" "${target[@]}" "${msvc[@]}" \
        "--checks=clang-diagnostic-shorten-64-to-32,clang-diagnostic-shadow*" || status=1
fi
[ "$status" = 0 ] || { echo "clang-tidy: findings in $build's files"; exit 1; }
echo "clang-tidy: $build, $(echo "$shared" | grep -c .) files shared with $native (narrowing and hiding only)," \
    "$(echo "$only" | grep -c .) of its own (the whole set as well), no finding"
