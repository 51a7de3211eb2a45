#!/bin/sh
# The Wine prefix of one test run of the Windows build.
#   wine_prefix.sh start PREFIX WINE_DIR   a fresh prefix, booted, its server running
#   wine_prefix.sh stop PREFIX WINE_DIR    ends that prefix's server and its processes
# Wine's server and its services outlive the programs that start them and
# keep whatever they inherited open, so they are started here with their
# output in files: never on the pipes through which CTest reads a test.
set -eu
prefix=$2
wine_dir=$3
export WINEPREFIX="$prefix" WINEDEBUG=-all
case $1 in
start)
    if [ -d "$prefix" ]; then "$wine_dir/wineserver64" -k 2>/dev/null || true; fi
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # Persistent, so that no test starts a server of its own.
    "$wine_dir/wineserver64" -p </dev/null >"$prefix.server.log" 2>&1
    if ! "$wine_dir/wine64" wineboot -i </dev/null >"$prefix.boot.log" 2>&1; then
        cat "$prefix.boot.log"
        exit 1
    fi
    echo "Wine prefix ready: $prefix"
    ;;
stop)
    "$wine_dir/wineserver64" -k 2>/dev/null || true
    "$wine_dir/wineserver64" -w 2>/dev/null || true
    echo "Wine prefix ended: $prefix"
    ;;
*)
    echo "usage: wine_prefix.sh start|stop PREFIX WINE_DIR" >&2
    exit 2
    ;;
esac
