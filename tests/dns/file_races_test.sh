#!/usr/bin/env bash
# Runs the built program while a client learns names and others change the table file at the same moment, as
# admins do: a cut, copies over it, a held lock, a table moved in, the damaged copies used up. No name a client was
# told and no copied entry may be lost, and the file ends whole. In a private namespace, bounded.
# Usage: file_races_test.sh PATH-OF-PROGRAM. Exit code 77 when no namespace can be made here.
set -u
[ -n "${DNS_TEST_TRACE:-}" ] && set -x
program=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
enter_namespace "$0" "$@"

make_test_network
(printf '127.0.0.1 localhost\n' && for i in $(seq 2000); do
    printf '10.9.%d.%d learn-%d.lan\n' $((i / 256)) $((i % 256)) "$i"
done) | resolve_from_hosts

make_table() { # file count
    awk -v count="$2" 'BEGIN { for (i = 0; i < count; i++) printf "host-%d.lan 10.1.%d.%d\n", i, int(i / 256), i % 256 }' |
        velquorn_table write "$1"
}

# Asks for learn-FIRST.lan on, RATE names a second for SECONDS, each with a timeout of one second; prints
# "NAME ADDRESS" for each answer with an address and "NAME -" for each without.
learn() { # first rate seconds
    python3 - "$@" <<'PYTHON'
import socket, struct, sys, time
first, rate, seconds = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.connect(("127.0.0.1", 53))
client.settimeout(1)
start = time.monotonic()
for i in range(first, first + int(rate * seconds)):
    time.sleep(max(0, start + (i - first) / rate - time.monotonic()))
    name = f"learn-{i}.lan"
    question = b"".join(bytes([len(l)]) + l for l in name.encode().split(b".")) + b"\0\0\1\0\1"
    client.send(struct.pack(">HHHHHH", i, 0x0100, 1, 0, 0, 0) + question)
    address = "-"
    try:
        while True:
            answer = client.recv(512)
            if answer[:2] == struct.pack(">H", i):
                break
        if answer[3] & 15 == 0 and answer[7] == 1:
            address = socket.inet_ntoa(answer[-4:])
    except socket.timeout:
        pass
    print(name, address, flush=True)
PYTHON
}
# The names told in a learn output that the table file lacks, or that got no address.
lost() { # told-file table-file
    grep -vxFf <(velquorn_table read "$2" | tail -n +2) "$1"
}
peak_memory_kb=0
sample_memory() { # pid seconds
    for _ in $(seq $(($2 * 10))); do
        local kb
        kb=$(awk '/^VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null) || break
        [ "${kb:-0}" -gt "$peak_memory_kb" ] && peak_memory_kb=$kb
        sleep 0.1
    done
    echo "$peak_memory_kb"
}

# The file cut to nothing while names are learned: every name answered, memory steady, and once the cut file has
# settled the whole table is written once and learning appends again.
run=$work/cut && mkdir "$run" && make_table "$run/default.drf" 20000
start_service "$run" "$program"
start_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
learn 1 20 6 >"$run/told" &
learner=$!
sample_memory "$pid" 6 >"$run/peak" &
sampler=$!
sleep 1
truncate -s 0 "$run/default.drf"
wait "$learner" "$sampler"
check "cut: every name answered with its address" "120 0" \
    "$(wc -l <"$run/told") $(grep -c ' -$' "$run/told")"
check "cut: memory stays within 20 MB of the start" "yes" \
    "$([ "$(cat "$run/peak")" -lt $((start_kb + 20000)) ] && echo yes || echo "no: $start_kb kB then $(cat "$run/peak") kB")"
wait_for 5 grep -q 'kept\|Error' "$run/out"
stop_process "$pid"
check "cut: the file holds the table and every name told, exactly" "20120 1" \
    "$(velquorn_table read "$run/default.drf" | sed -n 1p)"
check "cut: nothing told is lost" "" "$(lost "$run/told" "$run/default.drf")"
check "cut: no line of failure" "0" "$(grep -c 'Error' "$run/out")"

# Copies of the table with one entry more copied over the file with cp while names are learned: every copied entry
# is answered, and the file stays a whole table whose every entry has a name.
run=$work/copies && mkdir "$run" && make_table "$run/default.drf" 1000
start_service "$run" "$program"
learn 200 30 8 >"$run/told" &
learner=$!
for k in 1 2 3 4 5 6; do
    sleep 1
    { velquorn_table read "$run/default.drf" | tail -n +2 && echo "copied-$k 10.2.0.$k"; } |
        velquorn_table write "$run/copy.drf"
    cp "$run/copy.drf" "$run/default.drf"
done
wait "$learner"
copied=$(for k in 1 2 3 4 5 6; do [ "$(ask "copied-$k")" = "10.2.0.$k" ] && echo "copied-$k"; done | xargs)
check "copies: every copied entry answered" "copied-1 copied-2 copied-3 copied-4 copied-5 copied-6" "$copied"
stop_process "$pid"
check "copies: exact, and no entry without a name" "1 0" \
    "$(velquorn_table read "$run/default.drf" | sed -n '1s/.* //p') \
$(velquorn_table read "$run/default.drf" | tail -n +2 | grep -c '^ ')"
check "copies: nothing kept as damaged" "" "$(ls "$run" | grep damaged)"

# The lock held by another program: unknown names are answered within a second and a half all the same, a table
# moved in meanwhile is read once the lock is free, and the names are written then, with one line each way.
run=$work/locked && mkdir "$run" && make_table "$run/default.drf" 1000
start_service "$run" "$program"
flock "$run/default.drf.lock" sleep 4 &
holder=$!
sleep 0.2
learn 500 2 3 >"$run/told"
{ velquorn_table read "$run/default.drf" | tail -n +2 && echo "moved 10.3.0.1"; } |
    velquorn_table write "$run/new.drf"
mv "$run/new.drf" "$run/default.drf"
check "lock: each name answered with its address" "6 0" "$(wc -l <"$run/told") $(grep -c ' -$' "$run/told")"
wait "$holder"
check "lock: a table moved in is read once it is free" "10.3.0.1" "$(wait_for 3 test "$(ask moved)" = 10.3.0.1; ask moved)"
wait_for 3 grep -q 'saved to default.drf again' "$run/out"
stop_process "$pid"
check "lock: the names are in the file, with the table moved in" "1007 1" \
    "$(velquorn_table read "$run/default.drf" | sed -n 1p)"
check "lock: nothing told is lost" "" "$(lost "$run/told" "$run/default.drf")"
check "lock: one line for the failure, one for the save" "1 1" \
    "$(grep -c '^> Error: could not save resolutions to default.drf: .*; the learned names are kept' "$run/out") \
$(grep -c '^> Resolutions saved to default.drf again; nothing learned was lost$' "$run/out")"

# Ten damaged copies there already: a cut file is still kept, in place of the oldest, and names are saved.
run=$work/damaged && mkdir "$run" && make_table "$run/default.drf" 10
for copy in '' .2 .3 .4 .5 .6 .7 .8 .9 .10; do
    echo "old$copy" >"$run/default.drf.damaged$copy"
    touch -d "$([ "$copy" = .6 ] && echo '2 days ago' || echo '1 day ago')" "$run/default.drf.damaged$copy"
done
start_service "$run" "$program"
truncate -s 30 "$run/default.drf"
learn 700 2 2 >"$run/told"
wait_for 5 grep -q 'kept it as' "$run/out"
stop_process "$pid"
check "damaged: kept in place of the oldest copy" "10 default.drf.damaged.6" \
    "$(ls "$run" | grep -c damaged) $(grep -o 'kept it as .*' "$run/out" | cut -d' ' -f4)"
check "damaged: nothing told is lost" "4 " "$(wc -l <"$run/told") $(lost "$run/told" "$run/default.drf")"

finish "file races"
