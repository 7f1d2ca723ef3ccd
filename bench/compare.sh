#!/usr/bin/env bash
# Runs velquorn-dns and dnsmasq in turn on the same names, in a private network namespace so that no query leaves
# this machine, each server pinned to core 0 and the load on core 1, and prints per table size: answers per second
# (dnsperf, and our own batched generator where dnsperf is the limit), server CPU per query and average latency at
# a steady 50,000 queries per second, answers per second and CPU per query over TCP (dnsperf keeping 32 connections
# with up to 500 queries under way on them), answers per second over one TCP connection with 10 under way (as much
# as dnsmasq, which serves each connection in a child process, copes with), start-up to the first answer, resident memory (the larger of after start-up
# and after the load), and our figure over dnsmasq's on each line. Our console goes to a file.
# Each figure is the median of alternating runs (ours, dnsmasq, the bare responder, ours, ...; DNS_BENCH_RUNS, 3 by
# default) with its minimum and maximum; a ratio is the median of the runs' own ratios. The bare responder
# (bench/bare_responder.cpp) answers the same batched load with no table and no console: the most this kernel
# gives one core, which our batched figure is set against; how far each one's batched runs lie apart shows whose
# swings are the kernel's.
# dnsmasq gets no upstream. Needs root. Usage: bench/compare.sh [SECONDS] [SIZE...]
# DNS_BENCH_PROGRAM names another build of the program to measure, for a before-and-after.
set -euo pipefail
seconds=${1:-10}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 1000000)
packages=(dnsperf dnsmasq-base)
source "$(dirname "$0")/prepare.sh"
runs=${DNS_BENCH_RUNS:-3}

now() { date +%s%N; }
# Its own and its ended children's: dnsmasq serves each TCP connection in a child process of its own.
cpu_ticks() { awk '{print $14 + $15 + $16 + $17}' "/proc/$1/stat"; }
resident() { awk '/VmRSS/{print $2}' "/proc/$1/status"; }
dnsperf_rate() { # queries per second limit (0 for none)
    local limit=()
    [ "$1" -gt 0 ] && limit=(-Q "$1")
    taskset -c 1 dnsperf -s 127.0.0.1 -d "$work/queries" -l "$seconds" -c 1 -q 500 "${limit[@]}" 2>&1 |
        awk '/Queries completed/{completed = $3} /Queries per second/{rate = $4} /Average Latency/{latency = $4}
            END {printf "%.0f %s %.0f\n", rate, completed, latency * 1000000}'
}
tcp_rate() { # connections, queries under way
    taskset -c 1 dnsperf -m tcp -s 127.0.0.1 -d "$work/queries" -l "$seconds" -c "$1" -q "$2" 2>&1 |
        awk '/Queries completed/{completed = $3} /Queries per second/{rate = $4}
            END {printf "%.0f %s\n", rate, completed}'
}
batched_rate() {
    taskset -c 1 "$generator" run 127.0.0.1 53 "$work/queries" "$seconds" 512 | cut -d' ' -f1
}

declare -A figure
measure() { # name, run, then the command that starts the server
    local name=$1.$2 start
    shift 2
    start=$(now)
    taskset -c 0 "$@" 2>"$work/errors" &
    server=$!
    "$generator" probe 127.0.0.1 53 "$(tail -n 1 "$work/queries" | cut -d' ' -f1)" 300 ||
        { echo "$name never answered"; cat "$work/errors"; exit 1; }
    figure[$name.startup]=$(( ($(now) - start) / 1000000 ))
    figure[$name.memory]=$(resident "$server")
    read -r figure[$name.dnsperf] _ _ <<<"$(dnsperf_rate 0)"
    figure[$name.batched]=$(batched_rate)
    local before completed
    before=$(cpu_ticks "$server")
    read -r _ completed figure[$name.latency] <<<"$(dnsperf_rate 50000)"
    # Clock ticks are hundredths of a second: microseconds per query.
    figure[$name.cpu]=$(awk -v t=$(( $(cpu_ticks "$server") - before )) -v q="$completed" 'BEGIN {printf "%.2f", t * 10000 / q}')
    figure[$name.memory]=$(( $(resident "$server") > figure[$name.memory] ? $(resident "$server") : figure[$name.memory] ))
    before=$(cpu_ticks "$server")
    read -r figure[$name.tcp] completed <<<"$(tcp_rate 32 500)"
    sleep 0.5 # until dnsmasq has seen its children end
    figure[$name.tcpcpu]=$(awk -v t=$(( $(cpu_ticks "$server") - before )) -v q="$completed" 'BEGIN {printf "%.2f", t * 10000 / q}')
    read -r figure[$name.tcp1] _ <<<"$(tcp_rate 1 10)"
    stop_server
}

stop_server() {
    kill "$server"
    wait "$server" 2>/dev/null || true
    server=
}

# The batched load alone, on the bare responder.
measure_bare() { # run
    taskset -c 0 "$bare_responder" 127.0.0.1 53 $((seconds + 60)) &
    server=$!
    "$generator" probe 127.0.0.1 53 probe.lan 10 || { echo "the bare responder never answered"; exit 1; }
    figure[bare.$1.batched]=$(batched_rate)
    stop_server
}

# The median of the numbers, their minimum and their maximum.
median_min_max() { # numbers...
    printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {
        printf "%.10g %.10g %.10g\n", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1], v[NR]}'
}
summary() { # format, numbers...: "median (min-max)"
    local format=$1
    shift
    median_min_max "$@" | awk -v f="$format" '{printf f " (" f "-" f ")", $1, $2, $3}'
}
values() { # name key: the figure of each run
    local run
    for run in $(seq "$runs"); do echo "${figure[$1.$run.$2]}"; done
}
ratios() { # name over name, key: the ratio of each run
    local run
    for run in $(seq "$runs"); do
        awk -v a="${figure[$1.$run.$3]}" -v b="${figure[$2.$run.$3]}" 'BEGIN {print (b > 0 ? a / b : 0)}'
    done
}

spread() { # name: how far its batched runs lie apart, against their median
    median_min_max $(values "$1" batched) | awk '{printf "%.0f %%", ($1 > 0 ? ($3 - $2) * 100 / $1 : 0)}'
}

row() { # label unit key format
    printf '%-34s %24s %24s   %s\n' "$1 ($2)" "$(summary "$4" $(values ours "$3"))" \
        "$(summary "$4" $(values dnsmasq "$3"))" "$(summary %.2fx $(ratios ours dnsmasq "$3"))"
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
    for run in $(seq "$runs"); do
        # The last run's console runs to hundreds of megabytes: emptied at start-up, it would take its time.
        rm -f "$work/ours/out"
        measure ours "$run" sh -c "cd '$work/ours' && exec '$program' </dev/null >'${DNS_BENCH_CONSOLE:-$work/ours/out}'"
        measure dnsmasq "$run" dnsmasq --no-daemon --port=53 --listen-address=127.0.0.1 --bind-interfaces \
            --no-resolv --no-hosts --addn-hosts="$work/peer-hosts" --log-facility=/dev/null
        measure_bare "$run"
    done
    echo "== $size names, $seconds s a run, median (min-max) of $runs runs"
    printf '%-34s %24s %24s   %s\n' "" velquorn-dns dnsmasq ours/dnsmasq
    row "answers per second, dnsperf" "q/s" dnsperf %.0f
    row "answers per second, batched" "q/s" batched %.0f
    row "CPU per query at 50,000 q/s" "us" cpu %.2f
    row "answers per second, TCP" "q/s" tcp %.0f
    row "CPU per query, TCP" "us" tcpcpu %.2f
    row "answers per second, 1 TCP connection" "q/s" tcp1 %.0f
    row "average latency at 50,000 q/s" "us" latency %.0f
    row "start-up to first answer" "ms" startup %.0f
    row "resident memory" "kB" memory %.0f
    echo "bare responder, batched: $(summary %.0f $(values bare batched)) q/s;" \
        "ours over it: $(summary %.2fx $(ratios ours bare batched))"
    # Each run's own ratios, for a table of runs.
    for key in batched cpu tcp; do
        echo "ours/dnsmasq, $key, each run: $(ratios ours dnsmasq "$key" | xargs printf '%.2f ')"
    done
    echo "ours/bare, batched, each run: $(ratios ours bare batched | xargs printf '%.2f ')"
    echo "spread of the batched runs, (max-min)/median: ours $(spread ours), dnsmasq $(spread dnsmasq)," \
        "bare responder $(spread bare)"
done
