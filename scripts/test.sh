#!/usr/bin/env bash
# Runs every test: static analysis, the native build's tests (with the
# Windows executable's scenario on Wine), the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzzers for a
# bounded time. Ends with one line "N passed, N failed".
#   FUZZ_SECONDS  time per fuzz target (default 30)
set -u
cd "$(dirname "$0")/.."
. scripts/deps.sh

JOBS=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-30}
passed=0
failed=0
failures=""

pass() { passed=$((passed + $1)); }
fail() {
    failed=$((failed + $1))
    failures="$failures
  $2"
}
# step NAME COMMAND...: a check that counts once.
step() {
    local name=$1
    shift
    echo "=== $name"
    if "$@"; then pass 1; else fail 1 "$name"; fi
}
# ctest_step NAME PRESET: every CTest test counts.
ctest_step() {
    local name=$1 preset=$2 log
    log=$(mktemp)
    echo "=== $name"
    ctest --preset "$preset" -j"$JOBS" 2>&1 | tee "$log" | grep -E "SKIPPED|\*\*\*|tests passed|^[0-9]+ - " || true
    local summary total bad
    summary=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -n 1)
    if [ -z "$summary" ]; then
        fail 1 "$name: CTest did not run"
        cat "$log"
    else
        total=$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')
        bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
        # The drills print their seed and figures; keep them in the log.
        grep -hE "^drill seed|trials, .* killed" "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null || true
        pass $((total - bad))
        [ "$bad" = 0 ] || fail "$bad" "$name: $bad failed (see above)"
    fi
    rm -f "$log"
}

if ! need $BUILD_PACKAGES $TEST_PACKAGES; then
    echo "cannot install what the tests need"
    echo "0 passed, 1 failed"
    exit 1
fi
windows_ok=1
if ! need $WINDOWS_PACKAGES; then
    windows_ok=0
    if [ "${CI:-}" = true ]; then
        fail 1 "mingw-w64 and Wine are required in CI"
    else
        echo "SKIPPED: mingw-w64 or Wine missing and not installable here; the Wine suite will say so"
    fi
fi

SOURCES=$(git ls-files -co --exclude-standard -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'fuzz/*.cpp')

step "build native" sh -c "cmake --preset native -DSHAMRIG_WERROR=ON >/dev/null && cmake --build --preset native -j$JOBS >/dev/null"
if [ "$windows_ok" = 1 ]; then
    step "build windows" sh -c "cmake --preset windows -DSHAMRIG_WERROR=ON >/dev/null && cmake --build --preset windows -j$JOBS >/dev/null && (cd build/windows && cpack -G ZIP >/dev/null)"
fi
if [ "$windows_ok" = 1 ]; then
    step "package shamrig-*-win64.zip" sh -c "cmake -E tar tf build/windows/shamrig-*-win64.zip | sort | tr '\n' ' ' | grep -qx 'README.md shamrig.exe '"
fi
step "build asan" sh -c "cmake --preset asan -DSHAMRIG_WERROR=ON >/dev/null && cmake --build --preset asan -j$JOBS >/dev/null"
step "build fuzz" sh -c "cmake --preset fuzz -DSHAMRIG_WERROR=ON >/dev/null && cmake --build --preset fuzz -j$JOBS >/dev/null"

step "clang-format" clang-format --dry-run -Werror $SOURCES
step "clang-tidy" sh -c "clang-tidy -p build/native --quiet $(echo $SOURCES | tr ' ' '\n' | grep -E '^(src|tests)/.*\.cpp$' | tr '\n' ' ') 2>&1 | grep -E 'warning:|error:' && exit 1 || exit 0"
step "cppcheck" cppcheck --enable=warning,performance,portability --library=googletest --std=c++20 \
    --language=c++ --inline-suppr --error-exitcode=1 --quiet -I src -I src/pnpsim src tests fuzz

ctest_step "tests (native, and shamrig.exe on Wine)" native
ctest_step "tests (AddressSanitizer + UndefinedBehaviorSanitizer)" asan

for target in front_end utf8_output own_device_match; do
    corpus=$(mktemp -d)
    step "fuzz $target (${FUZZ_SECONDS}s)" sh -c "build/fuzz/fuzz_$target -max_total_time=$FUZZ_SECONDS \
        -rss_limit_mb=2048 -print_final_stats=1 $corpus fuzz/corpus/$target >build/fuzz/$target.log 2>&1 \
        && grep -E 'stat::number_of_executed_units' build/fuzz/$target.log \
        || { tail -n 40 build/fuzz/$target.log; exit 1; }"
    rm -rf "$corpus"
done

[ -n "$failures" ] && echo "failed:$failures"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
