#!/usr/bin/env bash
# Names learned per second, in private network namespaces: eight clients on another network (eight source
# addresses, 192.0.2.101 to .108, behind a veth pair), each asking NAMES names of its own that the table lacks with
# up to 16 in flight, of a server whose resolver asks a fast upstream (a local dnsmasq answering every name, with no
# upstream of its own). Every name is on disk before its answer. For this build and, in alternating runs, another
# (DNS_BENCH_BASELINE, for a before-and-after); prints the median with its minimum and maximum, and checks after
# each run that the file holds every name answered. Needs root.
# Usage: bench/learning_rate.sh [RUNS] [SIZE...]   (3 runs, tables of 10 and 1,000,000 entries; NAMES 5000)
set -euo pipefail
seconds=${1:-3} # the number of runs; prepare.sh hands it on under this name
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10 1000000)
packages=(dnsmasq-base)
source "$(dirname "$0")/prepare.sh"
runs=$seconds
names=${DNS_BENCH_NAMES:-5000}
programs=("$program")
[ -n "${DNS_BENCH_BASELINE:-}" ] && programs+=("$DNS_BENCH_BASELINE")

# The upstream, answering every name at once.
/usr/sbin/dnsmasq --no-resolv --no-hosts --address=/#/10.77.0.1 --listen-address=127.0.0.53 --bind-interfaces \
    --keep-in-foreground --pid-file= --user=root --cache-size=0 &
upstream=$!
printf "hosts: files dns\n" >"$work/nsswitch-dns.conf"
printf 'nameserver 127.0.0.53\noptions timeout:1 attempts:2\n' >"$work/resolv.conf"
mount --bind "$work/nsswitch-dns.conf" /etc/nsswitch.conf
mount --bind "$work/resolv.conf" /etc/resolv.conf
make_client_network
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; kill "$upstream" "$clients" 2>/dev/null; rm -rf "$work"' EXIT
nsenter -t "$clients" -n sh -c 'ip link set lo up && ip link set veth1 up &&
    for i in $(seq 101 108); do ip addr add 192.0.2.$i/24 dev veth1; done'
for _ in $(seq 50); do getent hosts probe.lan >/dev/null && break || sleep 0.1; done

for size in "${sizes[@]}"; do
    awk -v count="$size" 'BEGIN { for (i = 0; i < count; i++) printf "host-%d.lan 10.%d.%d.%d\n", i,
        int(i / 65536) % 256, int(i / 256) % 256, i % 256 }' | "$table_tool" write "$work/table.drf"
    declare -A rates=()
    verdict=passed
    for run in $(seq "$runs"); do
        for which in "${!programs[@]}"; do
            cp "$work/table.drf" "$work/default.drf"
            (cd "$work" && exec "${programs[$which]}" </dev/null >"$work/out-$which") &
            server=$!
            "$generator" probe 192.0.2.1 53 host-0.lan 300 || { echo "the server never answered"; exit 1; }
            result=$(nsenter -t "$clients" -n "$generator" learn 192.0.2.1 53 192.0.2.101 8 "$names" \
                16 60 "run$run-$which")
            rates[$which]+=" ${result%% *}"
            kill "$server"
            wait "$server" 2>/dev/null || true
            server=
            answered=$(grep -o '[0-9]* answered' <<<"$result" | cut -d' ' -f1)
            kept=$("$table_tool" read "$work/default.drf" | grep -c "^run$run-$which-" || true)
            [ "$kept" -ge "$answered" ] || verdict="FAILED ($answered answered, $kept in the file)"
            echo "  run $run, ${programs[$which]}: $result; $kept in the file"
            [ -n "${DNS_BENCH_KEEP:-}" ] && cp "$work/out-$which" "$DNS_BENCH_KEEP/out-$run-$which"
        done
    done
    echo "== $size entries, 8 clients x $names names, 16 in flight each, $runs alternating runs: median (min-max)"
    for which in "${!programs[@]}"; do
        echo "${programs[$which]}: $(tr ' ' '\n' <<<"${rates[$which]}" | grep -v '^$' | sort -n |
            awk '{v[NR] = $1} END {printf "%s (%s-%s)", v[int((NR + 1) / 2)], v[1], v[NR]}') names learned/s"
    done
    echo "check $verdict: every name answered with an address is in the file"
done
