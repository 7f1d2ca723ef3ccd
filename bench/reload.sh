#!/usr/bin/env bash
# Reloads under load, in a private network namespace: while a client asks for names in the table one after
# another, the table file is replaced RELOADS times (a copy renamed over it, as an editor's save does). Prints the
# time from each replacement to the service's "reloaded" line, and the latency of the table answers that were
# asked meanwhile: median, 90th and 99th percentile, the longest, and how many took over 30 and over 250 ms (a
# lost answer counts as over both). Three runs, and their medians. Needs root.
# Usage: bench/reload.sh [RELOADS] [SIZE...]; DNS_BENCH_PROGRAM names another build, for a before-and-after.
set -euo pipefail
seconds=${1:-3} # the number of reloads a run; prepare.sh hands it on under this name
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000000)
source "$(dirname "$0")/prepare.sh"
reloads=$seconds

for size in "${sizes[@]}"; do
    python3 - "$size" "$work" <<'PYTHON'
import struct, sys
count, work = int(sys.argv[1]), sys.argv[2]
with open(f"{work}/copy.drf", "wb") as table:
    table.write(struct.pack("<I", count))
    for i in range(count):
        name = f"host-{i}.lan".encode()
        table.write(struct.pack("<IH", 0, len(name)) + name + bytes([10, i >> 16 & 255, i >> 8 & 255, i & 255]))
PYTHON
    echo "== $size entries, $reloads reloads a run"
    for run in 1 2 3; do
        cp "$work/copy.drf" "$work/default.drf"
        (cd "$work" && exec taskset -c 0 "$program" </dev/null >"$work/out") &
        server=$!
        "$generator" probe 127.0.0.1 53 host-0.lan 300 || { echo "the server never answered"; exit 1; }
        # The client asks one name after another, each at most a second, until told to stop.
        taskset -c 1 python3 - "$size" "$work/samples" "$work/stop" <<'PYTHON' &
import os, socket, struct, sys, time
count, samples, stop = int(sys.argv[1]), open(sys.argv[2], "w"), sys.argv[3]
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.connect(("127.0.0.1", 53))
client.settimeout(1)
i = 0
while not os.path.exists(stop) and i < 10000000:
    labels = f"host-{i * 7919 % count}.lan".encode().split(b".")
    name = b"".join(bytes([len(label)]) + label for label in labels) + b"\0"
    start = time.time()
    client.send(struct.pack(">HHHHHH", i & 0xFFFF, 0x0100, 1, 0, 0, 0) + name + b"\0\1\0\1")
    try:
        while struct.unpack(">H", client.recv(512)[:2])[0] != i & 0xFFFF:
            pass
        samples.write(f"{start} {1000 * (time.time() - start)}\n")
    except socket.timeout:
        samples.write(f"{start} 1000\n")
    i += 1
PYTHON
        client=$!
        rm -f "$work/stop" "$work/windows"
        sleep 1
        for reload in $(seq "$reloads"); do
            cp "$work/copy.drf" "$work/next.drf"
            before=$(grep -c 'Resolutions reloaded' "$work/out" || true)
            start=$EPOCHREALTIME
            mv "$work/next.drf" "$work/default.drf"
            for _ in $(seq 200); do
                [ "$(grep -c 'Resolutions reloaded' "$work/out" || true)" -gt "$before" ] && break
                sleep 0.05
            done
            echo "$start $EPOCHREALTIME" >>"$work/windows"
            sleep 1
        done
        touch "$work/stop"
        wait "$client"
        kill "$server"
        wait "$server" 2>/dev/null || true
        server=
        python3 - "$work/samples" "$work/windows" <<'PYTHON' | tee -a "$work/runs"
import sys
samples = [tuple(map(float, line.split())) for line in open(sys.argv[1])]
windows = [tuple(map(float, line.split())) for line in open(sys.argv[2])]
during = sorted(latency for start, latency in samples if any(a <= start <= b for a, b in windows))
reload_ms = sorted(1000 * (b - a) for a, b in windows)
pick = lambda values, q: values[min(len(values) - 1, int(q * len(values)))]
print(f"reload {pick(reload_ms, 0.5):.0f} ms (median of {len(reload_ms)}); answers meanwhile {len(during)}: "
      f"median {pick(during, 0.5):.2f} ms, p90 {pick(during, 0.9):.2f} ms, p99 {pick(during, 0.99):.2f} ms, "
      f"longest {during[-1]:.2f} ms, over 30 ms {sum(v > 30 for v in during)}, "
      f"over 250 ms {sum(v > 250 for v in during)}")
PYTHON
    done
    python3 - "$work/runs" <<'PYTHON'
import re, statistics, sys
runs = [list(map(float, re.findall(r"[\d.]+(?= ms)", line))) for line in open(sys.argv[1])]
names = ["reload", "median", "p90", "p99", "longest"]
medians = [f"{name} {statistics.median(run[i] for run in runs):.2f} ms" for i, name in enumerate(names)]
print("medians of 3 runs: " + ", ".join(medians))
PYTHON
    rm -f "$work/runs"
done
