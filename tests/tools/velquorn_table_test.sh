#!/usr/bin/env bash
# Checks the table tool that the scripts write and read tables with: the bytes it writes for each kind of line,
# what it reads back, that a line it cannot take leaves the file as it was, and that trailing bytes are told.
# Usage: velquorn_table_test.sh PATH-OF-TOOL
set -u
tool=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
hex() { od -An -tx1 -v "$1" | tr -d ' \n'; }

printf 'printer 10.0.0.1\ngateway Local\nfiles -> nas.lan\nmy printer 192.168.1.254\n' |
    "$tool" write "$work/table.drf"
check "write: exit code" "0" "$?"
expected=(
    04000000                                          # entry count
    00000000 0700 7072696e746572 0a000001             # kind 0, name length, "printer", 10.0.0.1
    00000000 0700 67617465776179 00000000             # kind 0, name length, "gateway", 0: Local
    01000000 0500 66696c6573 0700 6e61732e6c616e      # kind 1, name length, "files", target length, "nas.lan"
    00000000 0a00 6d79207072696e746572 c0a801fe       # kind 0, name length, "my printer", 192.168.1.254
)
check "write: the bytes" "$(printf '%s' "${expected[@]}")" "$(hex "$work/table.drf")"
check "read: count, exact, entries" "4 1
printer 10.0.0.1
gateway Local
files -> nas.lan
my printer 192.168.1.254" "$("$tool" read "$work/table.drf")"

# A refused line fails the whole write, and the table written before stays whole, with no file left beside it.
for line in "printer 10.0.0.256" "printer 10..0.1"; do
    printf 'fine 10.0.0.2\n%s\n' "$line" | "$tool" write "$work/table.drf" 2>"$work/error"
    check "refused: $line" "1 velquorn-table: line 2 is no entry: $line|4 1|table.drf" \
        "$? $(cat "$work/error")|$("$tool" read "$work/table.drf" | head -n 1)|$(ls "$work" | grep -v error)"
done

# A byte behind the last record, as a learned record cut short by a crash leaves: the same table, not exact.
cp "$work/table.drf" "$work/trailing.drf" && printf '\0' >>"$work/trailing.drf"
check "trailing byte: not exact" "4 0" "$("$tool" read "$work/trailing.drf" | head -n 1)"
finish "table tool"
