#!/usr/bin/env bash
# Completes command lines with the bash completion of hiddfu and compares the candidates.
# Usage: completion_test.sh [completion file] (default: completion/hiddfu.bash)
set -uo pipefail
completion=$(realpath "${1:-$(dirname "$0")/../../completion/hiddfu.bash}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A hiddfu on PATH that lists two CSR devices and a hub.
mkdir "$scratch/bin" "$scratch/files"
cat >"$scratch/bin/hiddfu" <<'FAKE'
#!/bin/sh
[ "$1" = devices ] && echo '{"devices": [{"name": "A", "identifier": "0a12-0001-14200000"}, {"identifier": "0a12-1004-14300000", "name": "B"}, {"identifier": "05e3-0608-12000000"}]}'
FAKE
chmod +x "$scratch/bin/hiddfu"
touch "$scratch/files/firmware.dfu" "$scratch/files/notes.txt"
mkdir "$scratch/files/old"
PATH=$scratch/bin:$PATH
cd "$scratch/files"

source /usr/share/bash-completion/bash_completion
source "$completion"

# The candidates for the last word of a line, sorted, on one line.
candidates() {
    local line=$1
    COMP_LINE=$line
    COMP_POINT=${#line}
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _hiddfu hiddfu "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' '
}

failed=0
passed=0
while IFS='|' read -r line expected; do
    actual=$(candidates "$line")
    if [[ $actual == "$expected" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: '$line': expected '$expected', got '$actual'" >&2
    fi
done <<'CASES'
hiddfu |backup devices dfufile get monitor reset set update version
hiddfu s|set
hiddfu reset |05e3-0608-12000000 0a12-0001-14200000 0a12-1004-14300000
hiddfu update 0a|0a12-0001-14200000 0a12-1004-14300000
hiddfu update 0a12-0001-14200000 |firmware.dfu old
hiddfu update 0a12-0001-14200000 n|
hiddfu backup 0a12-0001-14200000 |firmware.dfu old
hiddfu backup 0a12-0001-14200000 f|firmware.dfu
hiddfu get 0a12-0001-14200000 |
hiddfu reset 0a12-0001-14200000 |
hiddfu devices |0x05e3 0x0a12
hiddfu monitor 0x0A12 |0x0001 0x1004
hiddfu dfufile n|
hiddfu dfufile o|old
hiddfu dfufile firmware.dfu |firmware.dfu old
hiddfu frobnicate |
CASES
echo "$passed passed, $failed failed"
((failed == 0))
