#!/usr/bin/env bash
# Runs velquorn-dns and dnsmasq in turn on the same names, in a private network namespace so that no query leaves
# this machine, each server pinned to core 0 and the load on core 1, and prints per table size: answers per second
# (dnsperf, and our own batched generator where dnsperf is the limit), server CPU per query and average latency at
# a steady 50,000 queries per second, start-up to the first answer, resident memory (the larger of after start-up
# and after the load), and our figure over dnsmasq's on each line. Our console goes to a file.
# dnsmasq gets no upstream. Needs root. Usage: bench/compare.sh [SECONDS] [SIZE...]
set -euo pipefail
seconds=${1:-10}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 1000000)
packages=(dnsperf dnsmasq-base)
source "$(dirname "$0")/prepare.sh"

now() { date +%s%N; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
resident() { awk '/VmRSS/{print $2}' "/proc/$1/status"; }
dnsperf_rate() { # queries per second limit (0 for none)
    local limit=()
    [ "$1" -gt 0 ] && limit=(-Q "$1")
    taskset -c 1 dnsperf -s 127.0.0.1 -d "$work/queries" -l "$seconds" -c 1 -q 500 "${limit[@]}" 2>&1 |
        awk '/Queries completed/{completed = $3} /Queries per second/{rate = $4} /Average Latency/{latency = $4}
            END {printf "%.0f %s %.0f\n", rate, completed, latency * 1000000}'
}

declare -A figure
measure() { # name, then the command that starts the server
    local name=$1 start
    shift
    start=$(now)
    taskset -c 0 "$@" &
    server=$!
    "$generator" probe 127.0.0.1 53 "$(tail -n 1 "$work/queries" | cut -d' ' -f1)" 300 ||
        { echo "$name never answered"; exit 1; }
    figure[$name.startup]=$(( ($(now) - start) / 1000000 ))
    figure[$name.memory]=$(resident "$server")
    read -r figure[$name.dnsperf] _ _ <<<"$(dnsperf_rate 0)"
    figure[$name.batched]=$(taskset -c 1 "$generator" run 127.0.0.1 53 "$work/queries" "$seconds" 512 | cut -d' ' -f1)
    local before completed
    before=$(cpu_ticks "$server")
    read -r _ completed figure[$name.latency] <<<"$(dnsperf_rate 50000)"
    # Clock ticks are hundredths of a second: microseconds per query.
    figure[$name.cpu]=$(awk -v t=$(( $(cpu_ticks "$server") - before )) -v q="$completed" 'BEGIN {printf "%.2f", t * 10000 / q}')
    figure[$name.memory]=$(( $(resident "$server") > figure[$name.memory] ? $(resident "$server") : figure[$name.memory] ))
    kill "$server"
    wait "$server" 2>/dev/null || true
    server=
}

row() { # label unit key better(high|low)
    local ours=${figure[ours.$3]} peer=${figure[dnsmasq.$3]}
    printf '%-34s %12s %12s   %s\n' "$1 ($2)" "$ours" "$peer" \
        "$(awk -v a="$ours" -v b="$peer" 'BEGIN {if (b > 0) printf "%.2fx", a / b; else print "-"}')"
}

for size in "${sizes[@]}"; do
    # The same names for both: host-N.lan at 10.x.y.z, queried in a shuffled order.
    awk -v count="$size" 'BEGIN {
        for (i = 0; i < count; i++)
            printf "host-%d.lan 10.%d.%d.%d\n", i, int(i / 65536) % 256, int(i / 256) % 256, i % 256
    }' >"$work/entries"
    "$table_tool" write "$work/bench.drf" <"$work/entries"
    awk '{print $2, $1}' "$work/entries" >"$work/peer-hosts"
    # At most 200,000 names, each once, in the same order at every run: the first steps of a seeded Fisher-Yates
    # shuffle, the positions it has swapped kept in a map rather than a million-entry array.
    awk -v count="$size" 'BEGIN {
        srand(1)
        for (i = 0; i < count && i < 200000; i++) {
            j = i + int(rand() * (count - i))
            pick = j in moved ? moved[j] : j
            moved[j] = i in moved ? moved[i] : i
            printf "host-%d.lan A\n", pick
        }
    }' >"$work/queries"
    mkdir -p "$work/ours"
    cp "$work/bench.drf" "$work/ours/default.drf"
    measure ours sh -c "cd '$work/ours' && exec '$program' </dev/null >'${DNS_BENCH_CONSOLE:-$work/ours/out}'"
    measure dnsmasq dnsmasq --no-daemon --port=53 --listen-address=127.0.0.1 --bind-interfaces --no-resolv \
        --no-hosts --addn-hosts="$work/peer-hosts" --log-facility=/dev/null
    echo "== $size names, $seconds s a run        velquorn-dns      dnsmasq   ours/dnsmasq"
    row "answers per second, dnsperf" "q/s" dnsperf
    row "answers per second, batched" "q/s" batched
    row "CPU per query at 50,000 q/s" "us" cpu
    row "average latency at 50,000 q/s" "us" latency
    row "start-up to first answer" "ms" startup
    row "resident memory" "kB" memory
done
