#!/usr/bin/env bash
# Loads the running server with dnsperf beside a peer, dnsmasq answering the same names from its own table, in
# one run, inside a private network namespace so that no query leaves this machine. Prints queries per second,
# latency and memory for both. Needs root. Usage: load_bench.sh [SECONDS] [ENTRIES]
set -euo pipefail
seconds=${1:-10}
entries=${2:-10000}
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${DNS_BENCH_NAMESPACE:-}" != 1 ]; then
    bash "$root/scripts/install-packages.sh" g++ cmake make dnsperf dnsmasq-base
    command -v python3 >/dev/null || bash "$root/scripts/install-packages.sh" python3
    cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DDNS_TESTS=OFF >/dev/null
    cmake --build "$root/build/release" -j"$(nproc)" --target velquorn-dns >/dev/null
    exec env DNS_BENCH_NAMESPACE=1 unshare --net --mount --fork bash "$0" "$@"
fi

program=$root/build/release/velquorn-dns
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
ip link set lo up
printf 'hosts: files\n' >"$work/nsswitch.conf"
printf '127.0.0.1 localhost\n' >"$work/hosts"
mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf
mount --bind "$work/hosts" /etc/hosts

# The same table for both servers: host-N.lan at 10.x.y.z.
python3 - "$entries" "$work" <<'PYTHON'
import struct, sys
count, work = int(sys.argv[1]), sys.argv[2]
with open(f"{work}/bench.drf", "wb") as table, open(f"{work}/peer-hosts", "w") as hosts:
    table.write(struct.pack("<I", count))
    for i in range(count):
        name, address = f"host-{i}.lan".encode(), bytes([10, i >> 16 & 255, i >> 8 & 255, i & 255])
        table.write(struct.pack("<IH", 0, len(name)) + name + address)
        hosts.write(f"{'.'.join(map(str, address))} {name.decode()}\n")
PYTHON
# Queries spread over the table.
awk '{print $2, "A"}' "$work/peer-hosts" | shuf --random-source=<(yes) >"$work/queries"

(cd "$work" && exec "$program" bench.drf </dev/null >/dev/null) &
ours=$!
dnsmasq --no-daemon --port=5300 --listen-address=127.0.0.1 --bind-interfaces --no-resolv --no-hosts \
    --addn-hosts="$work/peer-hosts" --cache-size=0 --log-facility=/dev/null 2>/dev/null &
peer=$!
sleep 1

run() { # name, port, pid
    local result
    result=$(dnsperf -s 127.0.0.1 -p "$2" -d "$work/queries" -l "$seconds" -c 4 -Q 1000000 2>&1)
    printf '%-12s %10s q/s  latency avg %s s  lost %s  memory %s kB (peak %s kB)\n' "$1" \
        "$(awk '/Queries per second/{print $4}' <<<"$result")" \
        "$(awk '/Average Latency/{print $4}' <<<"$result")" \
        "$(awk '/Queries lost/{print $3}' <<<"$result")" \
        "$(awk '/VmRSS/{print $2}' "/proc/$3/status")" "$(awk '/VmHWM/{print $2}' "/proc/$3/status")"
}
echo "$entries entries, $seconds s each, 4 clients"
run velquorn-dns 53 "$ours"
run dnsmasq 5300 "$peer"
