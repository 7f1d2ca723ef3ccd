#!/usr/bin/env bash
# Learning under load, in a private network namespace: while a batched generator asks for names in the table,
# names the table lacks are learned one after another (the resolver answers them from a hosts file). Prints the
# time from query to answer of a learned name (its record on disk), and the table answers per second meanwhile,
# beside the same load without learning. A last line per size checks that each learned name was answered with its
# address and that the file is then the whole table, byte for byte; the exit code is 1 when it is not.
# Needs root. Usage: bench/learning.sh [SECONDS] [SIZE...]
# DNS_BENCH_PROGRAM names another build of the program to measure, for a before-and-after.
set -euo pipefail
seconds=${1:-10}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 1000000)
source "$(dirname "$0")/prepare.sh"
# The names to learn, which the resolver answers from the hosts file.
for i in $(seq 3000); do printf '10.9.%d.%d learn-%d.lan\n' $((i / 256 % 256)) $((i % 256)) "$i"; done >>"$work/hosts"

status=0
for size in "${sizes[@]}"; do
    awk -v count="$size" 'BEGIN {
        for (i = 0; i < count; i++)
            printf "host-%d.lan 10.%d.%d.%d\n", i, int(i / 65536) % 256, int(i / 256) % 256, i % 256
    }' >"$work/entries"
    "$table_tool" write "$work/default.drf" <"$work/entries"
    # At most about 100,000 of the names, spread over the table.
    awk -v step=$((size > 100000 ? size / 100000 : 1)) '(NR - 1) % step == 0 {print $1}' "$work/entries" \
        >"$work/queries"
    (cd "$work" && exec taskset -c 0 "$program" </dev/null >"$work/out") &
    server=$!
    "$generator" probe 127.0.0.1 53 host-0.lan 300 || { echo "the server never answered"; exit 1; }
    quiet=$(taskset -c 1 "$generator" run 127.0.0.1 53 "$work/queries" "$seconds" 256 | cut -d' ' -f1)
    taskset -c 1 "$generator" run 127.0.0.1 53 "$work/queries" "$seconds" 256 >"$work/loaded" &
    load=$!
    # Learned names one after another, for as long as the load runs; each answered name and the address it got
    # go to the file "learned".
    learned=$(python3 - "$seconds" "$work/learned" <<'PYTHON'
import socket, struct, sys, time
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.connect(("127.0.0.1", 53))
client.settimeout(5)
told = open(sys.argv[2], "w")
times, end, i = [], time.monotonic() + float(sys.argv[1]) - 0.5, 1
while time.monotonic() < end and i <= 3000:
    name = b"".join(bytes([len(label)]) + label for label in f"learn-{i}.lan".encode().split(b".")) + b"\0"
    start = time.monotonic()
    client.send(struct.pack(">HHHHHH", i, 0x0100, 1, 0, 0, 0) + name + b"\0\1\0\1")
    try:
        answer = client.recv(512)
        # An answer that comes after its query timed out belongs to no later one.
        while answer[:2] != struct.pack(">H", i):
            answer = client.recv(512)
        times.append(time.monotonic() - start)
        told.write(f"learn-{i}.lan {'.'.join(map(str, answer[-4:]))}\n")
    except socket.timeout:
        pass
    i += 1
times.sort()
if times:
    print(f"{len(times)} learned, {1000 * sum(times) / len(times):.2f} ms average, "
          f"{1000 * times[len(times) // 2]:.2f} ms median, {1000 * times[-1]:.2f} ms longest")
else:
    print("none learned")
PYTHON
)
    wait "$load"
    kill "$server"
    wait "$server" 2>/dev/null || true
    server=
    # Now that the server has stopped: every learned name was answered with its address from the hosts file, and
    # the file is the whole table byte for byte, the entries it started with and then the learned ones in the order
    # they were asked.
    answered=$(wc -l <"$work/learned")
    wrong=$(grep -cvxFf <(awk '{print $2, $1}' "$work/hosts") "$work/learned" || true)
    cat "$work/entries" "$work/learned" | "$table_tool" write "$work/expected.drf"
    whole=no
    cmp -s "$work/expected.drf" "$work/default.drf" && whole=yes
    verdict=passed
    [ "$answered" -gt 0 ] && [ "$wrong" -eq 0 ] && [ "$whole" = yes ] || { verdict=FAILED; status=1; }
    echo "== $size entries, $seconds s"
    echo "learned names: $learned"
    echo "table answers per second: $quiet without learning, $(cut -d' ' -f1 "$work/loaded") while learning"
    echo "check $verdict: $answered names learned into the table of $size and answered, $wrong with a wrong address;" \
        "the file is the whole table byte for byte: $whole"
done
exit $status
