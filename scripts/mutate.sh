#!/usr/bin/env bash
# The mutation check: changes made by rule, one place at a time, to the
# tool's own code (src/shamrig, src/device), each applied alone to a scratch
# copy of the repository, which is rebuilt and put through the native test
# suite. A change is caught when the suite fails. The rules are the slips a
# developer makes:
#   - a comparison flipped (== and !=, < and <=, > and >=);
#   - a logical operator swapped (&& and ||), or a negation dropped;
#   - true and false swapped;
#   - a bound moved by one (a number n becomes n - 1; a 0 assigned or
#     returned becomes 1; a constant computed from other constants, such
#     as a length taken from a sizeof, one more and one less);
#   - a call made for its effect dropped.
# Text inside quotes and comments is left alone. The changes that no
# platform can observe are listed below with the reason, named by their
# file, the text of their line and the change, so that edits elsewhere do
# not move them. Prints every outcome; fails when an observable change
# survives, or when the list names a change that is no longer made. One
# that the list calls unobservable and a test catches is shown, so that the
# list can be put right.
#   scripts/mutate.sh [PATTERN]   only the changes whose line holds PATTERN
#   MUTATION_EXCLUDE=REGEX        leaves out the tests whose names match, to
#                                 see what only they catch
set -u
cd "$(dirname "$0")/.." || exit 1
. scripts/deps.sh
need "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" || exit 1
JOBS=$(nproc)
scratch=$PWD/build/mutate
rm -rf "$scratch" && mkdir -p "$scratch"
# The repository as it is now, committed or not.
git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$scratch" || exit 1
# The native preset itself (every automatic variable filled with a pattern,
# so that a dropped zero-fill is caught on every run), in its own folder.
cmake -S "$scratch" --preset native -B "$scratch/build" -DSHAMRIG_TEST_TIMEOUT=60 >/dev/null || exit 1

build() { cmake --build "$scratch/build" -j"$JOBS" >"$scratch/build.log" 2>&1; }
suite() {
    (cd "$scratch/build" && ctest -j"$JOBS" --stop-on-failure --timeout 60 ${MUTATION_EXCLUDE:+-E "$MUTATION_EXCLUDE"} \
        >"$scratch/test.log" 2>&1)
}
if ! build || ! suite; then
    echo "the unchanged repository does not build and pass its tests: nothing to measure"
    exit 1
fi

# FILE | TEXT OF THE LINE | FROM -> TO [(N)] | WHY no platform can observe it
# (N: the N-th such change on that line)
UNOBSERVABLE=$(
    cat <<'EOF'
src/shamrig/main.cpp | DWORD size = 0; | 0 -> 1 | the platform writes the size returned, and nothing reads it
src/device/console_out.cpp | DWORD written = 0; | 0 -> 1 | the platform writes the count, and nothing reads it
src/device/console_out.cpp | DWORD mode = 0; | 0 -> 1 | the platform writes the mode, and nothing reads it
src/device/console_out.cpp | if (size == 0) return; | 0 -> 1 | no piece of one byte is ever handed out: no message is one byte long, and a full buffer keeps its last character for the next piece
src/device/console_out.cpp | for (int len = 0; *text != 0; text += len) { | 0 -> 1 | the length is set anew at the start of every slice
src/device/console_out.cpp | len = 0; | 0 -> 1 | the slice's first unit is known not to end the text
src/device/console_out.cpp | constexpr int CHUNK = 256; | 256 -> 255 | a piece one byte shorter still ends on a whole character, and every message fits
src/device/console_out.cpp | constexpr int SLICE = 64; | 64 -> 63 | a slice one unit shorter converts the same text
src/device/console_out.cpp | char digits[24]; | 24 -> 23 | no number printed has more than 20 digits
src/device/dev_create.cpp | RegSetValueExW(key, TEXT("FriendlyName"), 0, REG_SZ, desc, sizeof(DEVICE_DESC)); | RegSetValueExW(key, TEXT("FriendlyName"), 0, REG_SZ, desc, sizeof(DEVICE_DESC)) -> (void)0 | no platform opens the hardware key of a device without a driver, so nothing after the check runs
src/device/dev_create.cpp | RegSetValueExW(key, TEXT("DeviceDesc"), 0, REG_SZ, desc, sizeof(DEVICE_DESC)); | RegSetValueExW(key, TEXT("DeviceDesc"), 0, REG_SZ, desc, sizeof(DEVICE_DESC)) -> (void)0 | the hardware key never opens (see above)
src/device/dev_create.cpp | RegCloseKey(key); | RegCloseKey(key) -> (void)0 | the hardware key never opens (see above)
src/device/dev_create.cpp | std::memset(&dev, 0, sizeof dev); | std::memset(&dev, 0, sizeof dev) -> (void)0 | the platform reads only cbSize of an element it is to fill
src/device/dev_create.cpp | CM_Get_Device_IDW(dev.DevInst, id, ID_LEN - 1, 0); | 1 -> 0 | no platform makes an instance ID longer than 199 characters
src/device/dev_remove.cpp | std::memset(&dev, 0, sizeof dev); | std::memset(&dev, 0, sizeof dev) -> (void)0 | the platform reads only cbSize of an element it is to fill
src/device/dev_remove.cpp | CM_Get_Device_IDW(dev.DevInst, id, ID_LEN - 1, 0); | 1 -> 0 | no platform makes an instance ID longer than 199 characters
src/device/dev_remove.cpp | std::memset(id, 0, sizeof id); | std::memset(id, 0, sizeof id) -> (void)0 | what a failed read leaves in the slot is an ID that did not match, or nothing, so it cannot match either
src/device/dev_remove.cpp | std::memset(&params, 0, sizeof params); | std::memset(&params, 0, sizeof params) -> (void)0 | every field is set after it
src/device/dev_remove.cpp | params.HwProfile = 0; | 0 -> 1 | the platform ignores the profile of a global removal
src/device/dev_remove.cpp | SetupDiDestroyDeviceInfoList(set); | SetupDiDestroyDeviceInfoList(set) -> (void)0 | a set read from the tree owns no phantom, and it ends with the process
src/device/enum_mine.cpp | std::memset(&dev, 0, sizeof dev); | std::memset(&dev, 0, sizeof dev) -> (void)0 | the platform reads only cbSize of an element it is to fill
src/device/enum_mine.cpp | CM_Get_Device_IDW(dev.DevInst, id, ID_LEN - 1, 0); | 1 -> 0 | no platform makes an instance ID longer than 199 characters
src/device/fake_device.h | inline constexpr int ID_LEN = 512; | 512 -> 511 | no platform makes an instance ID longer than 199 characters
EOF
)

# The changes, one a line: FILE, LINE NUMBER, COLUMN, FROM, TO, LINE (TAB-separated).
changes=$(perl -e '
for my $file (@ARGV) {
    open my $fh, "<", $file or die "$file: $!";
    my $n = 0;
    while (my $line = <$fh>) {
        $n++;
        chomp $line;
        next if $line =~ m{^\s*(//|#|static_assert)};
        # Strings and comments blanked, so that their text is never changed.
        my $code = $line;
        $code =~ s{//.*$}{" " x length($&)}e;
        $code =~ s{"(?:[^"\\]|\\.)*"}{"\"" . (" " x (length($&) - 2)) . "\""}ge;
        $code =~ s{\x27(?:[^\x27\\]|\\.)*\x27}{"\x27" . (" " x (length($&) - 2)) . "\x27"}ge;
        my @rules = ([qr/ == /, " != "], [qr/ != /, " == "], [qr/ < /, " <= "], [qr/ <= /, " < "],
                     [qr/ > /, " >= "], [qr/ >= /, " > "], [qr/ && /, " || "], [qr/ \|\| /, " && "],
                     [qr/\(!/, "("], [qr/\btrue\b/, "false"], [qr/\bfalse\b/, "true"],
                     [qr/(?<![\w.])[1-9]\d*\b(?!\.)/, sub { $_[0] - 1 }],
                     [qr/(?<=(?:= |rn ))0\b(?![.x])/, "1"]);
        for my $rule (@rules) {
            my ($re, $to) = @$rule;
            while ($code =~ /$re/g) {
                my $from = substr($line, $-[0], $+[0] - $-[0]);
                print join("\t", $file, $n, $-[0], $from, ref $to ? $to->($from) : $to, $line), "\n";
            }
        }
        if ($code =~ /^\s*(?:inline\s+)?constexpr\s+[\w:]+\s+\w+\s*=\s*(.*?)\s*;\s*$/) {
            my ($at, $from) = ($-[1], substr($line, $-[1], $+[1] - $-[1]));
            next if $from =~ /^[\d.]+$/;  # a literal is moved by the rule for numbers
            for my $by ("+ 1", "- 1") {
                print join("\t", $file, $n, $at, $from, "($from) $by", $line), "\n";
            }
        }
        if ($code =~ /^(\s*)((?:std::)?\w+\(.*\));\s*$/ && $code !~ /^\s*return\b/) {
            print join("\t", $file, $n, length($1), substr($line, length($1), length($2)), "(void)0", $line), "\n";
        }
    }
}' src/shamrig/*.cpp src/device/*.cpp src/device/*.h)

trim() { sed 's/^ *//;s/ *$//' <<<"$1"; }
# unobservable NAME: the reason, when the list names this change.
unobservable() { awk -F ' [|] ' -v name="$1" '$1 " | " $2 " | " $3 == name { print $4; exit }' <<<"$UNOBSERVABLE"; }

caught=0 survived=0 unobservable_n=0 broken=0 wrong=0 n=0
survivors=""
named=""
seen=""
while IFS=$'\t' read -r file lineno column from to line; do
    [[ -n ${1:-} && $line != *$1* ]] && continue
    n=$((n + 1))
    name="$file | $(trim "$line") | $(trim "$from") -> $(trim "$to")"
    # The same change made again further along the line is named apart.
    seen="$seen$name"$'\n'
    k=$(grep -cxF "$name" <<<"$seen")
    [ "$k" -gt 1 ] && name="$name ($k)"
    why=$(unobservable "$name")
    [ -n "$why" ] && named="$named$name"$'\n'
    path=$scratch/$file
    cp "$path" "$path.orig"
    perl -e '
        my ($no, $col, $from, $to, $path) = @ARGV;
        open my $in, "<", $path or die; my @l = <$in>; close $in;
        substr($l[$no - 1], $col, length($from)) = $to;
        open my $out, ">", $path or die; print $out @l; close $out;' "$lineno" "$column" "$from" "$to" "$path"
    label="$file:$lineno: $(trim "$from") -> $(trim "$to")"
    if ! build; then
        outcome="does not build"
        broken=$((broken + 1))
    elif suite; then
        if [ -n "$why" ]; then
            outcome="not caught: $why"
            unobservable_n=$((unobservable_n + 1))
        else
            outcome="SURVIVED"
            survived=$((survived + 1))
            survivors="$survivors
  $name"
        fi
    else
        outcome="caught by $(sed -n '/tests FAILED/{n;p;q}' "$scratch/test.log" | sed -E 's/.* - ([^ ]+).*/\1/')"
        if [ -z "$why" ]; then
            caught=$((caught + 1))
        else
            outcome="$outcome, though listed as unobservable: $why"
            wrong=$((wrong + 1))
        fi
    fi
    printf '%3d %s\n    %s\n' "$n" "$label" "$outcome"
    # Written back, not moved: the file must be newer than what the change
    # built, or the next build would keep the changed object.
    cat "$path.orig" >"$path" && rm "$path.orig"
done <<<"$changes"
build >/dev/null

# An entry of the list that names no change made any more is stale.
stale=""
if [ -z "${1:-}" ]; then
    while IFS= read -r entry; do
        name=$(awk -F ' [|] ' '{ print $1 " | " $2 " | " $3 }' <<<"$entry")
        grep -qxF "$name" <<<"$named" || stale="$stale
  $name"
    done <<<"$UNOBSERVABLE"
fi
[ -n "$stale" ] && echo "listed as unobservable, but no such change is made:$stale"
[ -n "$survivors" ] && echo "survived:$survivors"
echo "$n changes: $caught caught, $survived survived, $unobservable_n unobservable, $broken do not build, $wrong listed wrongly"
if [ $((caught + survived)) = 0 ]; then
    echo "no observable change was tried"
    exit 1
fi
echo "mutation score: $caught of $((caught + survived)) observable changes caught"
[ "$survived" = 0 ] && [ -z "$stale" ]
