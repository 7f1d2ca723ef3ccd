#!/usr/bin/env bash
# Start-up and reload of a large table, in a private network namespace, for this build and, in alternating runs,
# for another (DNS_BENCH_BASELINE, for a before-and-after): the time from the start to the first answer (the
# start-up listing to a file), and the time from a copy of the file with one entry more renamed over it to that
# entry's first answer, with the longest table answer meanwhile (a client asking names of the table one after
# another). Prints each figure's median with its minimum and maximum. Needs root.
# Usage: bench/startup.sh [RUNS] [SIZE...]   (3 runs of 1,000,000 entries by default)
set -euo pipefail
seconds=${1:-3} # the number of runs; prepare.sh hands it on under this name
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000000)
source "$(dirname "$0")/prepare.sh"
runs=$seconds
programs=("$program")
[ -n "${DNS_BENCH_BASELINE:-}" ] && programs+=("$DNS_BENCH_BASELINE")

now_ns() { date +%s%N; }

# Asks NAME until it is answered with ADDRESS (every millisecond, at most 10 s); prints the milliseconds it took
# from START (ns) and the longest answer of the names asked meanwhile, one after another, from the table.
cat >"$work/watch.py" <<'PYTHON'
import socket, struct, sys, time
name, address, start, count = sys.argv[1], sys.argv[2], int(sys.argv[3]) / 1e9, int(sys.argv[4])
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.connect(("127.0.0.1", 53))
client.settimeout(1)
def ask(ident, asked):
    question = b"".join(bytes([len(l)]) + l for l in asked.encode().split(b".")) + b"\0\0\1\0\1"
    begun = time.time()
    client.send(struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + question)
    try:
        while True:
            answer = client.recv(512)
            if answer[:2] == struct.pack(">H", ident):
                return answer, time.time() - begun
    except socket.timeout:
        return b"", 1.0
longest, i = 0.0, 0
while time.time() < start + 10:
    i += 1
    answer, took = ask(i & 0xFFFF, f"host-{i * 7919 % count}.lan")
    longest = max(longest, took)
    answer, took = ask((i + 30000) & 0xFFFF, name)
    if len(answer) > 16 and answer[3] & 15 == 0 and answer[7] == 1 and socket.inet_ntoa(answer[-4:]) == address:
        print(f"{1000 * (time.time() - start):.0f} {1000 * longest:.2f}")
        sys.exit(0)
print("10000 -")
PYTHON

for size in "${sizes[@]}"; do
    python3 - "$size" "$work" <<'PYTHON'
import struct, sys
count, work = int(sys.argv[1]), sys.argv[2]
def record(i, name):
    name = name.encode()
    return struct.pack("<IH", 0, len(name)) + name + bytes([10, i >> 16 & 255, i >> 8 & 255, i & 255])
body = b"".join(record(i, f"host-{i}.lan") for i in range(count))
open(f"{work}/table.drf", "wb").write(struct.pack("<I", count) + body)
open(f"{work}/grown.drf", "wb").write(struct.pack("<I", count + 1) + body + record(1, "added.lan"))
PYTHON
    declare -A figures=()
    for run in $(seq "$runs"); do
        for which in "${!programs[@]}"; do
            cp "$work/table.drf" "$work/default.drf"
            rm -f "$work/out"
            start=$(now_ns)
            (cd "$work" && exec taskset -c 0 "${programs[$which]}" </dev/null >"$work/out") &
            server=$!
            "$generator" probe 127.0.0.1 53 "host-$((size - 1)).lan" 300 ||
                { echo "the server never answered"; exit 1; }
            figures[$which.startup]+=" $((($(now_ns) - start) / 1000000))"
            sleep 1
            cp "$work/grown.drf" "$work/next.drf"
            start=$(now_ns)
            mv "$work/next.drf" "$work/default.drf"
            read -r reload longest < <(taskset -c 1 python3 "$work/watch.py" added.lan 10.0.0.1 "$start" "$size")
            figures[$which.reload]+=" $reload"
            figures[$which.longest]+=" $longest"
            kill "$server"
            wait "$server" 2>/dev/null || true
            server=
        done
    done
    echo "== $size entries, $runs alternating runs: median (min-max)"
    for which in "${!programs[@]}"; do
        summary() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{v[NR] = $1} END {printf "%s (%s-%s)", v[int((NR + 1) / 2)], v[1], v[NR]}'; }
        echo "${programs[$which]}:"
        echo "  start-up to the first answer: $(summary <<<"${figures[$which.startup]}") ms"
        echo "  file replaced to its new entry answered: $(summary <<<"${figures[$which.reload]}") ms"
        echo "  longest table answer meanwhile: $(summary <<<"${figures[$which.longest]}") ms"
    done
done
