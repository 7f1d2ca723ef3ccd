# Shared by the benchmark scripts, which source it after setting `seconds` and `sizes`: builds the program, the
# table tool, the load generator and the bare responder, runs the calling script again inside a private network
# and mount namespace, and there sets up loopback, a resolver that reads only /etc/hosts, and a work directory.
# Extra Debian packages to install may be named in the array `packages`.
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${DNS_BENCH_NAMESPACE:-}" != 1 ]; then
    bash "$root/scripts/install-packages.sh" g++ cmake make util-linux ${packages[@]+"${packages[@]}"}
    command -v python3 >/dev/null || bash "$root/scripts/install-packages.sh" python3
    cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$root/build/release" -j"$(nproc)" --target velquorn-dns velquorn-table >/dev/null
    g++ -std=c++20 -O2 -o "$root/build/release/load_generator" "$root/bench/load_generator.cpp"
    g++ -std=c++20 -O2 -o "$root/build/release/bare_responder" "$root/bench/bare_responder.cpp"
    exec env DNS_BENCH_NAMESPACE=1 unshare --net --mount --fork bash "$0" "$seconds" "${sizes[@]}"
fi

program=${DNS_BENCH_PROGRAM:-$root/build/release/velquorn-dns}
generator=$root/build/release/load_generator
bare_responder=$root/build/release/bare_responder
table_tool=$root/build/release/velquorn-table
work=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
ip link set lo up
printf 'hosts: files\n' >"$work/nsswitch.conf"
printf '127.0.0.1 localhost\n' >"$work/hosts"
mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf
mount --bind "$work/hosts" /etc/hosts

# The clients' network: a namespace of its own (its sleeping process's id in `clients`) behind a veth pair whose
# end here is 192.0.2.1/24 and whose end there, veth1, the caller sets up with nsenter.
make_client_network() {
    unshare --net sleep 3600 &
    clients=$!
    for _ in $(seq 50); do
        [ "$(readlink "/proc/$clients/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
        sleep 0.1
    done
    ip link add veth0 type veth peer name veth1
    ip addr add 192.0.2.1/24 dev veth0
    ip link set veth0 up
    ip link set veth1 netns "$clients"
}
