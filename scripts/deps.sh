# shellcheck shell=bash
# Sourced by the other scripts: installs the Debian packages a step needs
# when they are missing (as root), or says which ones are missing. The
# lists are for the scripts that source this file.
# shellcheck disable=SC2034
BUILD_PACKAGES=(cmake make g++)
# libclang-rt-dev: the sanitizer and libFuzzer runtimes of the release's own
# clang (Debian 12: 14, Debian 13: 19), under one name in both releases.
TEST_PACKAGES=(googletest libgtest-dev util-linux tmux clang libclang-rt-dev clang-format clang-tidy cppcheck shellcheck)
# zip: the Windows package, written the same way every time; osslsigncode
# and openssl: its signing path, tried with a throwaway certificate.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 zip osslsigncode openssl)
BENCH_PACKAGES=(hyperfine time)
# Node.js and npm, for the workflow linter from the npm registry; a machine
# that has them from elsewhere keeps its own.
LINT_PACKAGES=(nodejs npm)

missing_packages() {
    local p missing=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    echo "$missing"
}

apt_updated=""
# need PACKAGE...: returns 0 when all are installed afterwards.
need() {
    local missing
    missing=$(missing_packages "$@")
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "missing packages:$missing (run as root to install them)" >&2
        return 1
    fi
    echo "installing:$missing"
    if [ -z "$apt_updated" ]; then
        DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null || return 1
        apt_updated=1
    fi
    # shellcheck disable=SC2086 # a list of names, split on purpose
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null ||
        return 1
    [ -z "$(missing_packages "$@")" ]
}

# need_commands COMMAND... -- PACKAGE...: the packages, unless every command
# is already on the PATH.
need_commands() {
    local all=1
    while [ "$1" != "--" ]; do
        command -v "$1" >/dev/null 2>&1 || all=""
        shift
    done
    shift
    [ -n "$all" ] || need "$@"
}
