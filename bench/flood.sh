#!/usr/bin/env bash
# How a quiet client fares while others flood the server with names its resolver never hears back about, in a
# private network namespace whose resolver asks an address where nobody answers (5 s, 2 tries, as glibc's
# defaults) and knows good-N.lan and nas.lan from its hosts file. Three floods: one client asking one silent name
# 2,000 times a second while the quiet client asks a forward entry (files -> nas.lan); 200 clients asking unique
# silent names 1,000 times a second in all; one client asking unique silent names 200 times a second; in the last
# two the quiet client asks new names the hosts file knows. The clients are on a network of their own (a veth pair),
# as a LAN's are. The quiet client asks every 100 ms for SECONDS (8).
# For this build and, in alternating runs, another (DNS_BENCH_BASELINE); prints each run. DNS_BENCH_KEEP=DIR keeps
# the consoles. Needs root.
# Usage: bench/flood.sh [RUNS] [SECONDS]   (1 run)
set -euo pipefail
seconds=${1:-1} # the number of runs; prepare.sh hands it on under this name
shift || true
sizes=("$@")
source "$(dirname "$0")/prepare.sh"
runs=$seconds
length=${sizes[0]:-8}
programs=("$program")
[ -n "${DNS_BENCH_BASELINE:-}" ] && programs+=("$DNS_BENCH_BASELINE")

printf 'hosts: files dns\n' >"$work/nsswitch.conf"
awk 'BEGIN { print "127.0.0.1 localhost\n10.0.0.30 nas.lan"; for (i = 0; i < 400; i++)
    printf "10.1.%d.%d good-%d.lan\n", int(i / 256), i % 256, i }' >"$work/hosts"
printf 'nameserver 192.0.2.99\noptions timeout:5 attempts:2\n' >"$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf
# The clients' network: the server at 192.0.2.1, the quiet client at .3, the flood from .2 or from 10.9.0.1-200.
make_client_network
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; kill "$clients" 2>/dev/null; rm -rf "$work"' EXIT
ip route add 10.9.0.0/24 dev veth0
nsenter -t "$clients" -n sh -c 'ip link set lo up && ip link set veth1 up && ip addr add 192.0.2.2/24 dev veth1 &&
    ip addr add 192.0.2.3/24 dev veth1 && for i in $(seq 1 200); do ip addr add 10.9.0.$i/32 dev veth1; done &&
    ip route add default dev veth1'
printf 'files -> nas.lan\n' | "$table_tool" write "$work/table.drf"

for run in $(seq "$runs"); do
    for scenario in ${DNS_BENCH_FLOODS:-one-name many-sources unique-names}; do
        for which in "${!programs[@]}"; do
            cp "$work/table.drf" "$work/default.drf"
            (cd "$work" && exec "${programs[$which]}" </dev/null >"$work/out") &
            server=$!
            "$generator" probe 127.0.0.1 53 files 300 || { echo "the server never answered"; exit 1; }
            echo "  run $run, ${programs[$which]}: $(nsenter -t "$clients" -n python3 "$root/bench/flood.py" "$scenario" \
                "$length")"
            kill "$server"
            wait "$server" 2>/dev/null || true
            server=
            [ -n "${DNS_BENCH_KEEP:-}" ] && cp "$work/out" "$DNS_BENCH_KEEP/out-$run-$scenario-$which"
        done
    done
done
