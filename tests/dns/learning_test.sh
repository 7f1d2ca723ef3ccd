#!/usr/bin/env bash
# Runs the built program inside a private network and mount namespace and checks what learning must never do:
# lose a learned name that a client was told, whenever the process is killed. (bench/learning.sh learns into a
# table of a million entries; answers_test.sh shows table answers going on while lookups wait.) Every run is
# bounded.
# Usage: learning_test.sh PATH-OF-PROGRAM. Exit code 77 when no namespace can be made here.
set -u
program=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
enter_namespace "$0" "$@"

make_test_network
{
    printf '127.0.0.1 localhost\n'
    for i in $(seq 400); do printf '10.7.%d.%d kill-%d.lan\n' $((i / 256)) $((i % 256)) "$i"; done
} | resolve_from_hosts

# Writes a table: COUNT entries host-I.lan at 10.x.y.z.
make_table() { # file count
    awk -v count="$2" 'BEGIN {
        for (i = 0; i < count; i++)
            printf "host-%d.lan 10.%d.%d.%d\n", i, int(i / 65536) % 256, int(i / 256) % 256, i % 256
    }' | velquorn_table write "$1"
}

# kill -9 at random moments while names are learned: the file always loads, keeps the table it had, and holds
# every learned name with the answer a client received.
run=$work/killed && mkdir "$run" && make_table "$run/default.drf" 20000
next=1
for round in $(seq 8); do
    start_service "$run" "$program"
    (
        while [ "$next" -le 400 ]; do
            # dig writes its own errors (";; communications error") to standard output: they tell no address.
            answer=$(dig @127.0.0.1 +short +tries=1 +time=1 "kill-$next.lan" | grep -v '^;')
            [ -n "$answer" ] && echo "kill-$next.lan $answer"
            next=$((next + 1))
        done
    ) >"$run/told-$round" &
    asker=$!
    # A random moment once the round has learned a name: how many a round learns in a fixed time depends on the
    # machine's load, and a round that learned none would test nothing.
    for _ in $(seq 50); do [ -s "$run/told-$round" ] && break || sleep 0.1; done
    sleep "0.$((RANDOM % 4))"
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    kill "$asker" 2>/dev/null
    wait "$asker" 2>/dev/null
    table=$(velquorn_table read "$run/default.drf")
    check "round $round: the table it had" "host-19999.lan 10.0.78.31" "$(sed -n 20001p <<<"$table")"
    missing=$(grep -vxFf <(tail -n +2 <<<"$table") "$run/told-$round")
    check "round $round: every name a client was told" "" "$missing"
    next=$(($(tail -n +20002 <<<"$table" | wc -l) + round))
done
check "names were learned in every round" "8" "$(find "$run" -name 'told-*' -size +0 | wc -l)"
# A clean start and one more learned name leave no stray bytes and no temporary files.
start_service "$run" "$program"
ask kill-399.lan >/dev/null
stop_process "$pid"
check "exact after a clean run" "1" "$(velquorn_table read "$run/default.drf" | sed -n '1s/.* //p')"
check "no temporary files; the lock file stays" "default.drf default.drf.lock out" \
    "$(ls "$run" | grep -v '^told-' | tr '\n' ' ' | sed 's/ $//')"

finish learning
