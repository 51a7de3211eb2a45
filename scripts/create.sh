#!/usr/bin/env bash
# Builds shamrig for this machine, on the platform stand-in, and plants one
# fake device in the stand-in's device tree ($PNPSIM_ROOT, default
# /var/lib/pnpsim). Extra arguments replace the command word.
set -eu
cd "$(dirname "$0")/.." || exit 1
. scripts/deps.sh
need "${BUILD_PACKAGES[@]}"
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" >/dev/null
exec build/native/shamrig "${@:-create}"
