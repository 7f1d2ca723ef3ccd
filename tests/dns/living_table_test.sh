#!/usr/bin/env bash
# Runs the built program on a table that others change while it serves (editors, copies, cuts, a text file, a
# hang-up): every change is answered soon, nothing saved or told is lost, a file that is no table is kept. In a
# private namespace, bounded. Usage: living_table_test.sh PATH-OF-PROGRAM. Exit code 77 when no namespace here.
set -u
program=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
enter_namespace "$0" "$@"

make_test_network
(printf '127.0.0.1 localhost\n' && for i in $(seq 255); do printf '10.7.1.%d learn-%d.lan\n' "$i" "$i"; done) |
    resolve_from_hosts

# Asks for the name every tenth of a second until the address comes, for at most SECONDS; prints "yes" when it did.
answered_within() { # name address seconds
    local deadline=$((SECONDS + $3 + 1)) start=$EPOCHREALTIME
    while [ "$SECONDS" -lt "$deadline" ]; do
        if [ "$(dig @127.0.0.1 +short +tries=1 +time=1 "$1" 2>/dev/null)" = "$2" ]; then
            awk -v start="$start" -v now="$EPOCHREALTIME" -v limit="$3" \
                'BEGIN {print now - start <= limit ? "yes" : "late"}'
            return
        fi
        sleep 0.1
    done
    echo no
}
edit() { (cd "$1" && printf "$2" | timeout 60 "$program" -e default.drf >/dev/null); } # directory, lines

# The editor adds an entry while the service runs: answered within 2 s, no stop; a name learned right after is
# answered too, and after a stop the file holds both. A hang-up without a terminal reloads and does not quit.
run=$work/edit && mkdir "$run" && write_table "$run/default.drf"
start_service "$run" "$program"
edit "$run" 'A nas 10.0.0.9\nE\n'
check "an edit is answered within 2 s" "yes" "$(answered_within nas 10.0.0.9 2)"
check "a name learned after the edit" "10.7.1.1" "$(ask learn-1.lan)"
kill -HUP "$pid"
wait_for 5 grep -q '^> Resolutions reloaded: 5 entries$' "$run/out"
check "a hang-up reloads" "1 running" "$(grep -c '^> Resolutions reloaded: 5 entries$' "$run/out") \
$(kill -0 "$pid" 2>/dev/null && echo running)"
stop_process "$pid"
check "the file holds the edit and the learned name" "5 1 printer gateway files nas learn-1.lan" \
    "$(read_table "$run/default.drf" | xargs)"

# Others change the file: a table copied over it, a change in place at the same size (cuts: file_races_test.sh).
start_service "$run" "$program"
# printer's address, the last four bytes of its record.
set_printer() { # file, last number
    python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(17); f.write(bytes([10, 0, 0, int(sys.argv[2])]))' "$@"
}
write_table "$work/other.drf" && set_printer "$work/other.drf" 3
cp "$work/other.drf" "$run/default.drf"
check "a table copied over it" "yes" "$(answered_within printer 10.0.0.3 2)"
set_printer "$run/default.drf" 2
check "a change in place at the same size" "yes" "$(answered_within printer 10.0.0.2 2)"
stop_process "$pid"

# A text file named as the table loads as what can be read and is served; the first learned name keeps it.
run=$work/text && mkdir "$run" && cp "$work/hosts" "$run/hosts.txt"
start_service "$run" "$program" hosts.txt
check "a text file: answering, learning" "10.7.1.3" "$(ask learn-3.lan)"
wait_for 5 grep -q 'kept it as hosts.txt.damaged$' "$run/out"
check "a text file: kept whole, and one line says so" "same 1" \
    "$(cmp -s "$work/hosts" "$run/hosts.txt.damaged" && echo same) \
$(grep -c '^> Warning: hosts.txt was not a whole table of resolutions; kept it as hosts.txt.damaged$' "$run/out")"
stop_process "$pid"

# Two editors left open, each saving one entry a second, race a stream of learned names: after the run the file
# holds every entry the editors added and every name a client was told, and the service answers them all.
run=$work/race && mkdir "$run" && write_table "$run/default.drf"
start_service "$run" "$program"
for editor in 1 2; do
    edit "$run" "$(for i in 1 2 3 4; do printf 'A editor-%d-%d 10.8.%d.%d\\n' "$editor" "$i" "$editor" "$i"; done)E\n" &
done
for i in $(seq 100 199); do
    [ -n "$(dig @127.0.0.1 +short +tries=1 +time=2 "learn-$i.lan")" ] && echo "learn-$i.lan"
    kill -0 %2 2>/dev/null || kill -0 %3 2>/dev/null || break
done >"$run/told"
wait %2 %3
answers=$(for e in 1 2; do for i in 1 2 3 4; do answered_within "editor-$e-$i" "10.8.$e.$i" 2; done; done)
stop_process "$pid"
table=$(read_table "$run/default.drf")
check "race: names were learned meanwhile" "yes" "$([ "$(wc -l <"$run/told")" -gt 5 ] && echo yes)"
check "race: every editor entry kept and answered" "8 8" \
    "$(grep -c '^editor-' <<<"$table") $(grep -c yes <<<"$answers")"
check "race: every name a client was told kept" "" "$(grep -vxFf <(tail -n +2 <<<"$table") "$run/told")"

finish "living table"
