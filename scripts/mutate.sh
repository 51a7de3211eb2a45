#!/usr/bin/env bash
# The mutation check: one-place changes to the tool's own code (src/shamrig,
# src/device), each the kind of slip a developer makes, applied one at a
# time to a scratch copy of the repository, which is rebuilt and put
# through the native test suite. A change is caught when the build's tests
# fail. Changes that no platform can observe are marked with the reason and
# left out of the score. Prints each outcome, then the score; exits with 1
# below MUTATION_MIN percent (default 90).
#   scripts/mutate.sh [PATTERN]   only the changes whose line matches PATTERN
set -u
cd "$(dirname "$0")/.."
. scripts/deps.sh
need $BUILD_PACKAGES $TEST_PACKAGES || exit 1
MIN=${MUTATION_MIN:-90}
JOBS=$(nproc)
scratch=$PWD/build/mutate
rm -rf "$scratch" && mkdir -p "$scratch"
# The repository as it is now, committed or not.
git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$scratch" || exit 1
cmake -S "$scratch" -B "$scratch/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1

build() { cmake --build "$scratch/build" -j"$JOBS" >"$scratch/build.log" 2>&1; }
# Wine's console is not in the scratch build; without CI=true its screen
# check says so and skips instead of failing.
suite() { (cd "$scratch/build" && env -u CI ctest -j"$JOBS" --stop-on-failure --timeout 300 >"$scratch/test.log" 2>&1); }
if ! build || ! suite; then
    echo "the unchanged repository does not build and pass its tests: nothing to measure"
    exit 1
fi

# FILE @@ WHAT IS THERE @@ WHAT IT BECOMES [@@ unobservable: WHY]
# WHAT IS THERE must stand exactly once in FILE.
TABLE=$(
    cat <<'EOF'
src/shamrig/main.cpp @@ SetConsoleOutputCP(CP_UTF8); @@ ; @@ unobservable: a console gets UTF-16 through WriteConsoleW and a file gets bytes, so the code page changes neither
src/shamrig/main.cpp @@ std::setvbuf(stdout, nullptr, _IONBF, 0); @@ ;
src/shamrig/main.cpp @@ _IONBF, 0 @@ _IOFBF, 4096
src/shamrig/main.cpp @@ say(MSG_BANNER); @@ ;
src/shamrig/main.cpp @@ TOKEN_QUERY, &token @@ 0, &token
src/shamrig/main.cpp @@ say(MSG_NOT_ELEVATED);
        return; @@ return;
src/shamrig/main.cpp @@ if (!asked || @@ if ( @@ unobservable: the record is zero-initialised, so a query that failed reads as not elevated anyway
src/shamrig/main.cpp @@ elevation.TokenIsElevated == 0 @@ elevation.TokenIsElevated != 0
src/shamrig/main.cpp @@ CloseHandle(token); @@ ; @@ unobservable: the token handle ends with the process a moment later
src/shamrig/main.cpp @@ argc <= 1 @@ argc < 1
src/shamrig/main.cpp @@ say(MSG_USAGE);
        return 1; @@ say(MSG_USAGE);
        return 0;
src/shamrig/main.cpp @@ _wcsicmp(word, WORD_CREATE) == 0 @@ _wcsicmp(word, WORD_CREATE) <= 0
src/shamrig/main.cpp @@ dev_remove();
        return 0; @@ dev_remove();
        return 1;
src/shamrig/main.cpp @@ _wcsicmp(word, WORD_LIST) == 0 @@ _wcsicmp(word, WORD_LIST) != 0
src/shamrig/main.cpp @@ say_text(MSG_UNKNOWN_WORD, word);
    return 1; @@ say_text(MSG_UNKNOWN_WORD, word);
    return 0;
src/device/dev_create.cpp @@ DWORD code = GetLastError(); @@ DWORD code = 0;
src/device/dev_create.cpp @@ say_code(message, code);
    SetupDiDestroyDeviceInfoList(set); @@ say_code(message, code);
src/device/dev_create.cpp @@ SetupDiDestroyDeviceInfoList(set);
    return 1; @@ SetupDiDestroyDeviceInfoList(set);
    return 0;
src/device/dev_create.cpp @@ if (key == static_cast<HKEY>(INVALID_HANDLE_VALUE)) return; @@ ; @@ unobservable: no platform opens the hardware key of a device without a driver, so nothing that follows runs
src/device/dev_create.cpp @@ TEXT("FriendlyName"), 0, REG_SZ @@ TEXT("Friendly"), 0, REG_SZ @@ unobservable: the hardware key never opens (see above)
src/device/dev_create.cpp @@ RegCloseKey(key); @@ ; @@ unobservable: the hardware key never opens (see above)
src/device/dev_create.cpp @@ SetupDiCreateDeviceInfoList(&CAMERA_CLASS, nullptr) @@ SetupDiCreateDeviceInfoList(nullptr, nullptr) @@ unobservable: a set without a class takes the element's class, which is given again
src/device/dev_create.cpp @@ say_code(MSG_CREATE_LIST_FAILED, GetLastError()); @@ say_code(MSG_CREATE_LIST_FAILED, 0);
src/device/dev_create.cpp @@ GetLastError());
        return 1; @@ GetLastError());
        return 0;
src/device/dev_create.cpp @@ dev.cbSize = sizeof(SP_DEVINFO_DATA); @@ dev.cbSize = 0;
src/device/dev_create.cpp @@ &CAMERA_CLASS, DEVICE_DESC, nullptr, @@ &CAMERA_CLASS, nullptr, nullptr,
src/device/dev_create.cpp @@ DICD_GENERATE_ID, &dev @@ 0, &dev
src/device/dev_create.cpp @@ sizeof(HARDWARE_ID_LIST))) @@ sizeof(HARDWARE_ID_LIST) - 2))
src/device/dev_create.cpp @@ set, &dev, SPDRP_HARDWAREID, @@ set, &dev, SPDRP_DEVICEDESC,
src/device/dev_create.cpp @@ return give_up(set, MSG_HARDWARE_ID_FAILED); @@ ;
src/device/dev_create.cpp @@ SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev) @@ SetupDiCallClassInstaller(DIF_REMOVE, set, &dev)
src/device/dev_create.cpp @@ return give_up(set, MSG_REGISTER_FAILED); @@ ;
src/device/dev_create.cpp @@ write_hardware_key(set, &dev); @@ ; @@ unobservable: the hardware key never opens (see above)
src/device/dev_create.cpp @@ std::memset(id, 0, sizeof id); @@ ;
src/device/dev_create.cpp @@ id, ID_LEN - 1, 0); @@ id, ID_LEN, 0); @@ unobservable: no platform makes an instance ID longer than 199 characters
src/device/dev_create.cpp @@ say_text(MSG_CREATED, id);
    SetupDiDestroyDeviceInfoList(set); @@ say_text(MSG_CREATED, id); @@ unobservable: the element is registered, so its set owns no phantom, and it ends with the process
src/device/dev_create.cpp @@ SetupDiDestroyDeviceInfoList(set);
    return 0; @@ SetupDiDestroyDeviceInfoList(set);
    return 1;
src/device/fake_device.h @@ ID_LEN = 512 @@ ID_LEN = 128
src/device/fake_device.h @@ MAX_MINE = 64 @@ MAX_MINE = 63
src/device/fake_device.h @@ TEXT("ROOT\\VelmoRastixTest\0") @@ TEXT("ROOT\\VelmoRastixTes\0\0")
src/device/enum_mine.cpp @@ nullptr, nullptr, DIGCF_ALLCLASSES); @@ nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
src/device/enum_mine.cpp @@ SetupDiGetClassDevsW(&CAMERA_CLASS, nullptr, nullptr, DIGCF_ALLCLASSES) @@ SetupDiGetClassDevsW(&CAMERA_CLASS, nullptr, nullptr, DIGCF_PRESENT)
src/device/enum_mine.cpp @@ if (set == INVALID_HANDLE_VALUE) return 0; @@ if (set == INVALID_HANDLE_VALUE) return 1;
src/device/enum_mine.cpp @@ dev.cbSize = sizeof(SP_DEVINFO_DATA); @@ dev.cbSize = 0;
src/device/enum_mine.cpp @@ std::memset(id, 0, sizeof id); @@ ;
src/device/enum_mine.cpp @@ ++index;
        if @@ index += 2;
        if
src/device/enum_mine.cpp @@ wcscpy(list[count], id); @@ ;
src/device/enum_mine.cpp @@ if (++count == MAX_MINE) break; @@ ++count;
src/device/enum_mine.cpp @@ SetupDiDestroyDeviceInfoList(set);
    return count; @@ return count; @@ unobservable: the set ends with the process; it holds no phantom to delete
src/device/dev_list.cpp @@ say_count(MSG_LIST_COUNT, count); @@ say_count(MSG_LIST_COUNT, count + 1);
src/device/dev_list.cpp @@ for (int i = 0; i < count; ++i) @@ for (int i = 1; i < count; ++i)
src/device/dev_remove.cpp @@ SetupDiGetClassDevsW(&CAMERA_CLASS, nullptr, nullptr, DIGCF_ALLCLASSES) @@ SetupDiGetClassDevsW(&CAMERA_CLASS, nullptr, nullptr, DIGCF_PRESENT)
src/device/dev_remove.cpp @@ if (set == INVALID_HANDLE_VALUE) return false; @@ if (set == INVALID_HANDLE_VALUE) return true;
src/device/dev_remove.cpp @@ dev.cbSize = sizeof(SP_DEVINFO_DATA); @@ dev.cbSize = 0;
src/device/dev_remove.cpp @@ for (DWORD index = 0; @@ for (DWORD index = 1;
src/device/dev_remove.cpp @@ std::memset(id, 0, sizeof id); @@ ; @@ unobservable: what a failed read leaves in the slot is an ID that did not match, or nothing, so it cannot match either
src/device/dev_remove.cpp @@ _wcsicmp(id, wanted) == 0 @@ _wcsicmp(id, wanted) <= 0
src/device/dev_remove.cpp @@ params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER); @@ params.ClassInstallHeader.cbSize = 0;
src/device/dev_remove.cpp @@ params.ClassInstallHeader.InstallFunction = DIF_REMOVE; @@ params.ClassInstallHeader.InstallFunction = DIF_REGISTERDEVICE;
src/device/dev_remove.cpp @@ params.Scope = DI_REMOVEDEVICE_GLOBAL; @@ params.Scope = DI_REMOVEDEVICE_CONFIGSPECIFIC; @@ unobservable: removing a root-enumerated device from the last hardware profile it is in is a global removal
src/device/dev_remove.cpp @@ sizeof(SP_REMOVEDEVICE_PARAMS)) && @@ sizeof(SP_CLASSINSTALL_HEADER)) &&
src/device/dev_remove.cpp @@ sizeof(SP_REMOVEDEVICE_PARAMS)) &&
                  SetupDiCallClassInstaller @@ sizeof(SP_REMOVEDEVICE_PARAMS)) ||
                  SetupDiCallClassInstaller
src/device/dev_remove.cpp @@ SetupDiCallClassInstaller(DIF_REMOVE, set, &dev) @@ TRUE
src/device/dev_remove.cpp @@ SetupDiDestroyDeviceInfoList(set);
    return removed; @@ return removed; @@ unobservable: a set read from the tree owns no phantom, and it ends with the process
src/device/dev_remove.cpp @@ if (count == 0) { @@ if (count == 1) {
src/device/dev_remove.cpp @@ say_count(MSG_REMOVE_COUNT, count); @@ say_count(MSG_REMOVE_COUNT, count - 1);
src/device/dev_remove.cpp @@ remove_one(list[i]) ? STATUS_REMOVED : STATUS_FAILED @@ remove_one(list[i]) ? STATUS_FAILED : STATUS_REMOVED
src/device/dev_remove.cpp @@ for (int i = 0; i < count; ++i) { @@ for (int i = 1; i < count; ++i) {
src/device/enum_mine.cpp @@ _wcsnicmp(id, DEVICE_NAME, name_len) == 0 @@ _wcsnicmp(id, DEVICE_NAME, name_len - 1) == 0
src/device/enum_mine.cpp @@ sizeof(DEVICE_NAME) / sizeof(WCHAR) - 1; @@ sizeof(DEVICE_NAME) / sizeof(WCHAR);
src/device/console_out.cpp @@ std::fwrite(bytes, 1, size, stdout) @@ std::fwrite(bytes, 1, size - 1, stdout)
src/device/console_out.cpp @@ units, static_cast<DWORD>(count), &written @@ units, static_cast<DWORD>(count) - 1, &written
src/device/console_out.cpp @@ GetConsoleMode(out, &mode)) { @@ !GetConsoleMode(out, &mode)) {
src/device/console_out.cpp @@ c.bytes, size, units, CHUNK); @@ c.bytes, size - 1, units, CHUNK);
src/device/console_out.cpp @@ unit_sink(units, static_cast<std::size_t>(count)); @@ unit_sink(units, static_cast<std::size_t>(count) - 1);
src/device/console_out.cpp @@ c.used -= size; @@ c.used = 0;
src/device/console_out.cpp @@ std::memmove(c.bytes, c.bytes + size @@ std::memmove(c.bytes, c.bytes + size + 1
src/device/console_out.cpp @@ while ((c.bytes[start] & 0xC0) == 0x80) --start; @@ ;
src/device/console_out.cpp @@ if (len == SLICE && IS_HIGH_SURROGATE(text[len - 1])) --len; @@ ;
src/device/console_out.cpp @@ WideCharToMultiByte(CP_UTF8, 0, text, len, @@ WideCharToMultiByte(CP_UTF8, 0, text, len - 1,
src/device/console_out.cpp @@ put_bytes(c, bytes, size); @@ put_bytes(c, bytes, size - 1);
src/device/console_out.cpp @@ put_bytes(c, digits, static_cast<int>(end - digits)); @@ put_bytes(c, digits + 1, static_cast<int>(end - digits) - 1);
src/device/console_out.cpp @@ std::strncmp(f, "%lu", 3) == 0 || @@ false ||
src/device/console_out.cpp @@ (wide || number) && next < count @@ (wide || number)
src/device/console_out.cpp @@ f += f[1] == 'd' ? 2 : 3; @@ f += 3;
src/device/console_out.cpp @@ f += std::strncmp(f, "%%", 2) == 0 ? 2 : 1; @@ f += 1;
src/device/console_out.cpp @@ flush(c, c.used);
} @@ }
src/device/console_out.cpp @@ { emit(format, {}, 0); } @@ {}
src/device/console_out.cpp @@ emit(format, {{text, 0}}, 1); @@ emit(format, {{nullptr, 0}}, 1);
src/device/console_out.cpp @@ {{first, 0}, {second, 0}} @@ {{second, 0}, {first, 0}}
src/device/console_out.cpp @@ emit(format, {{TEXT(""), code}}, 1); @@ emit(format, {{TEXT(""), static_cast<int>(code)}}, 1);
src/device/console_out.cpp @@ emit(format, {{TEXT(""), count}}, 1); @@ emit(format, {{TEXT(""), count + 1}}, 1);
src/device/console_out.cpp @@ byte_sink = sink;
    unit_sink = nullptr; @@ byte_sink = sink;
EOF
)

# Entries are separated by lines that start with "src/"; an entry's text
# may run over several lines.
entries=()
while IFS= read -r line; do
    if [[ $line == src/* ]]; then
        entries+=("$line")
    else
        entries[-1]+=$'\n'"$line"
    fi
done <<<"$TABLE"

caught=0 survived=0 unobservable=0 broken=0 n=0
survivors=""
for entry in "${entries[@]}"; do
    [[ -n ${1:-} && $entry != *$1* ]] && continue
    n=$((n + 1))
    file=${entry%% @@ *}
    rest=${entry#* @@ }
    from=${rest%% @@ *}
    rest=${rest#* @@ }
    to=${rest%% @@ *}
    why=""
    [[ $rest == *" @@ "* ]] && why=${rest#* @@ }
    path=$scratch/$file
    original=$(cat "$path"; printf x)
    original=${original%x}
    rest_of=${original//"$from"/}
    count=$(((${#original} - ${#rest_of}) / ${#from}))
    if [ "$count" != 1 ]; then
        echo "table error: '$from' stands $count times in $file"
        exit 1
    fi
    printf '%s' "${original/"$from"/"$to"}" >"$path"
    label="$file: $(echo "$from" | head -n 1 | sed 's/^ *//') -> $(echo "$to" | head -n 1 | sed 's/^ *//')"
    if ! build; then
        outcome="does not build"
        broken=$((broken + 1))
    elif suite; then
        if [ -n "$why" ]; then
            outcome="not caught, $why"
            unobservable=$((unobservable + 1))
        else
            outcome="SURVIVED"
            survived=$((survived + 1))
            survivors="$survivors
  $label"
        fi
    else
        outcome="caught by $(sed -n '/tests FAILED/{n;p;q}' "$scratch/test.log" | sed -E 's/.* - ([^ ]+).*/\1/')"
        if [ -z "$why" ]; then
            caught=$((caught + 1))
        else
            # Counted as marked: a flaky test must not raise the score.
            outcome="$outcome, though marked: $why"
            unobservable=$((unobservable + 1))
        fi
    fi
    printf '%3d %s\n    %s\n' "$n" "$label" "$outcome"
    printf '%s' "$original" >"$path"
done
build >/dev/null

observable=$((caught + survived))
[ -n "$survivors" ] && echo "survived:$survivors"
echo "$n changes: $caught caught, $survived survived, $unobservable unobservable, $broken do not build"
if [ "$observable" = 0 ]; then
    echo "no observable change was tried"
    exit 1
fi
score=$((100 * caught / observable))
echo "mutation score: $caught of $observable observable changes caught ($score%)"
[ "$score" -ge "$MIN" ]
