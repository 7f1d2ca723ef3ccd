#!/usr/bin/env bash
# Runs the built program inside a private network and mount namespace whose resolver waits for an upstream that
# never answers, and checks what learning must never do: hold up answers from the table, cost more with a large
# table, or lose a learned name that a client was told, whenever the process is killed. Every run is bounded.
# Usage: learning_test.sh PATH-OF-PROGRAM. Exit code 77 when no namespace can be made here.
set -u
program=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
enter_namespace "$0" "$@"

make_test_network
# The upstream sits at 192.0.2.99 on the veth link, where nobody answers: the resolver waits out its two
# seconds.
printf 'hosts: files dns\n' >"$work/nsswitch.conf"
printf 'nameserver 192.0.2.99\noptions timeout:2 attempts:1\n' >"$work/resolv.conf"
{
    printf '127.0.0.1 localhost\n10.1.2.3 learned.lan\n'
    for i in $(seq 400); do printf '10.7.%d.%d kill-%d.lan\n' $((i / 256)) $((i % 256)) "$i"; done
} >"$work/hosts"
for file in nsswitch.conf resolv.conf hosts; do mount --bind "$work/$file" "/etc/$file"; done

# Writes a table: COUNT entries host-I.lan at 10.x.y.z, then the named one.
make_table() { # file count [name address]
    python3 - "$@" <<'PYTHON'
import struct, sys
def record(name, address): return struct.pack("<IH", 0, len(name)) + name.encode() + bytes(address)
records = [record(f"host-{i}.lan", [10, i >> 16 & 255, i >> 8 & 255, i & 255]) for i in range(int(sys.argv[2]))]
records += [record(sys.argv[3], map(int, sys.argv[4].split(".")))] if len(sys.argv) > 3 else []
open(sys.argv[1], "wb").write(struct.pack("<I", len(records)) + b"".join(records))
PYTHON
}

# While the resolver waits for its upstream, for a forward entry's target (nas.lan) and for an unknown name, table
# answers keep coming; the waiting queries end in a server failure once it gives up.
run=$work/slow && mkdir "$run" && write_table "$run/default.drf"
start_service "$run" "$program"
ask printer >/dev/null
# The clients wait well beyond the resolver's two seconds: the check is that an answer comes, not how soon.
for name in files nobody.example; do dig @127.0.0.1 +tries=1 +time=8 "$name" >"$run/$name" 2>&1 & done
sleep 0.2
answered=0
for _ in $(seq 10); do
    [ "$(dig @127.0.0.1 +short +tries=1 +time=1 printer)" = 10.0.0.1 ] && answered=$((answered + 1))
done
check "table answers while the resolver waits" "10" "$answered"
wait %2 %3
check "nobody answers the resolver: server failures" "status: SERVFAIL
status: SERVFAIL" "$(for name in files nobody.example; do grep -o 'status: [A-Z]*\|no servers.*' "$run/$name"; done)"
stop_process "$pid"

# A name learned into a table of a million entries: answered, and the file is the whole table, byte for byte.
run=$work/large && mkdir "$run" && make_table "$run/default.drf" 1000000
start_seconds=60 start_service "$run" "$program"
check "learned into a large table" "10.1.2.3" "$(ask learned.lan)"
stop_process "$pid"
make_table "$work/expected.drf" 1000000 learned.lan 10.1.2.3
check "large table file" "same" "$(cmp -s "$work/expected.drf" "$run/default.drf" && echo same)"

# kill -9 at random moments while names are learned: the file always loads, keeps the table it had, and holds
# every learned name whose answer a client received.
run=$work/killed && mkdir "$run" && make_table "$run/default.drf" 20000
next=1
for round in $(seq 8); do
    start_service "$run" "$program"
    (
        while [ "$next" -le 400 ]; do
            [ -n "$(dig @127.0.0.1 +short +tries=1 +time=1 "kill-$next.lan")" ] && echo "kill-$next.lan"
            next=$((next + 1))
        done
    ) >"$run/told-$round" &
    asker=$!
    sleep "0.$((RANDOM % 5 + 1))"
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    kill "$asker" 2>/dev/null
    wait "$asker" 2>/dev/null
    table=$(read_table "$run/default.drf")
    check "round $round: the table it had" "host-19999.lan" "$(sed -n 20001p <<<"$table")"
    missing=$(grep -vxFf <(tail -n +2 <<<"$table") "$run/told-$round")
    check "round $round: every name a client was told" "" "$missing"
    next=$(($(tail -n +20002 <<<"$table" | wc -l) + round))
done
check "names were learned between the kills" "yes" "$([ "$(cat "$run"/told-* | wc -l)" -gt 20 ] && echo yes)"
# A clean start and one more learned name leave no stray bytes and no temporary files.
start_service "$run" "$program"
ask kill-399.lan >/dev/null
stop_process "$pid"
check "exact after a clean run" "1" "$(read_table "$run/default.drf" | sed -n '1s/.* //p')"
check "no temporary files; the lock file stays" "default.drf default.drf.lock out" "$(ls "$run" | grep -v '^told-' | tr '\n' ' ' | sed 's/ $//')"

finish learning
