#!/usr/bin/env bash
# Times `shamrig list` against `pnpsim enum` (one enumeration each) and
# `shamrig remove` of 64 own devices, on a stand-in tree of 10,000 foreign
# devices plus 64 of the tool's own, and reports peak memory.
#   bench/run.sh [RUNS]      (needs the native build; installs hyperfine)
set -eu
cd "$(dirname "$0")/.." || exit 1
. scripts/deps.sh
need "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
cmake --preset native >/dev/null && cmake --build --preset native -j"$(nproc)" >/dev/null
runs=${1:-30}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PNPSIM_ROOT=$work/tree
shamrig=build/native/shamrig
pnpsim=build/native/pnpsim

seq 0 9999 | awk '{printf "PCI\\VEN_%04X&DEV_%04X\\3&%08X&0&%02X\n", $1 % 65536, ($1 * 7) % 65536, ($1 * 2654435761) % 4294967296, $1 % 256}' |
    xargs "$pnpsim" add
cat >"$work/own.sh" <<EOT
#!/bin/sh
for i in \$(seq 64); do "$PWD/$shamrig" create >/dev/null; done
EOT
chmod +x "$work/own.sh"
"$work/own.sh"
echo "tree: $("$pnpsim" enum | wc -l) devices, $("$shamrig" list | grep -c 'ROOT.VELMORASTIXTEST') of them the tool's own"

median() { python3 -c "import json,sys; r=json.load(open(sys.argv[1]))['results']; print(' '.join('%.1f' % (x['median']*1000) for x in r))" "$1"; }
hyperfine -N -w 3 -r "$runs" --export-json "$work/list.json" "$shamrig list" "$pnpsim enum" >/dev/null
read -r list_ms enum_ms <<<"$(median "$work/list.json")"
hyperfine -N -w 1 -r "$(( runs < 10 ? runs : 10 ))" --prepare "$work/own.sh" --export-json "$work/remove.json" \
    "$shamrig remove" >/dev/null
remove_ms=$(median "$work/remove.json")
"$shamrig" remove >/dev/null || true
"$work/own.sh"
list_kb=$(/usr/bin/time -f %M "$shamrig" list 2>&1 >/dev/null)
remove_kb=$(/usr/bin/time -f %M "$shamrig" remove 2>&1 >/dev/null)

printf 'shamrig list    median %6s ms  (pnpsim enum %s ms; ratio %s)  peak %s KB\n' "$list_ms" "$enum_ms" \
    "$(python3 -c "print('%.2f' % ($list_ms / $enum_ms))")" "$list_kb"
printf 'shamrig remove  median %6s ms  (%s x list)  peak %s KB\n' "$remove_ms" \
    "$(python3 -c "print('%.1f' % ($remove_ms / $list_ms))")" "$remove_kb"
