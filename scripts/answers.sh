#!/usr/bin/env bash
# Reads an answers file that the suite wrote (SHAMRIG_ANSWERS; its format is
# in docs/ci.md) and prints, as a Markdown table, every fact of the
# probe that no source states for Windows, with what this run answered and
# whether the stand-in answers the same; every fact this run answered
# otherwise than the table; every scenario step recorded; and every fact of
# scripts/windows-facts.ps1 (a device as Windows shows it, what the hosts of
# automation capture). Exits with 1
# when the file names no platform or holds no answer of the probe.
#   scripts/answers.sh build/answers/windows.tsv
set -eu
file=${1:?usage: scripts/answers.sh ANSWERS_FILE}
LC_ALL=C.UTF-8 awk -F '\t' '
    # A field as a table cell: escapes read back, on one line, no bar taken
    # for the cell'"'"'s end.
    function cell(s) {
        gsub(/\\\\/, "\001", s); gsub(/\\n/, "<br>", s); gsub(/\\r/, "", s)
        gsub(/\\t/, " ", s); gsub(/\|/, "\\|", s); gsub(/\001/, "\\", s)
        return s
    }
    $1 == "platform" && platform == "" { platform = cell($2) " " cell($3) }
    $1 == "probe" && NF == 7 {
        facts++
        if ($7 == "-") {
            rows = rows sprintf("| %s | %s | %s | unknown on Windows |\n", cell($2), cell($4),
                                $4 == $6 ? "the same" : cell($6))
        } else if ($3 == "differs") {
            rows = rows sprintf("| %s | %s | %s | differs from %s |\n", cell($2), cell($4),
                                $4 == $6 ? "the same" : cell($6), cell($5))
        }
    }
    $1 == "step" && NF == 3 { rows = rows sprintf("| scenario: %s | %s | | recorded |\n", cell($2), cell($3)) }
    $1 == "host" && NF == 3 { rows = rows sprintf("| host: %s | %s | | recorded |\n", cell($2), cell($3)) }
    END {
        if (platform == "" || facts == 0) {
            printf "%s: no platform named, or no answer of the probe: not an answers file\n", FILENAME
            exit 1
        }
        printf "Answers of %s: %d facts of the probe\n\n| fact | answer | stand-in | table |\n|---|---|---|---|\n%s",
            platform, facts, rows
    }' "$file"
