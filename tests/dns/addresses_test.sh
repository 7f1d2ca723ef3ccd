#!/usr/bin/env bash
# Follows the machine's addresses while the program serves, as on a machine that boots before its network: it
# starts with loopback alone, then addresses come to and go from the veth while a client on the veth's other end,
# in a namespace of its own, asks for a Local entry. Then shares port 53 with another server on one address. Usage: addresses_test.sh PATH-OF-PROGRAM. Exit code 77 when no
# namespace can be made here.
set -u
program=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
enter_namespace "$0" "$@"
require_peers dnsmasq

make_test_network
printf '127.0.0.1 localhost\n' | resolve_from_hosts
# The client: 192.0.2.53 on the veth's network, and 198.51.100.53 on a network of none of the server's addresses,
# reached over the same link.
make_upstream_network
client=$upstream_net
nsenter -t "$client" -n ip addr add 198.51.100.53/24 dev veth1
ip addr del 192.0.2.1/24 dev veth0

# The address the client at the source address gets for gateway (Local) from the server at 192.0.2.1.
ask_from_client() { # source
    nsenter -t "$client" -n dig @192.0.2.1 -b "$1" +short +tries=1 +time=1 gateway 2>/dev/null | grep -v '^;'
}
# Milliseconds since the start of the script, for the time a change takes to be followed.
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Waits up to three seconds for the client at the source address to get the address; prints the milliseconds it
# took from the start time, or "never".
took_until_answered() { # start, source, address
    local deadline=$(($1 + 3000))
    while [ "$(now_ms)" -lt "$deadline" ]; do
        [ "$(ask_from_client "$2")" = "$3" ] && { echo $(($(now_ms) - $1)); return; }
        sleep 0.05
    done
    echo never
}
within_2s() { # milliseconds or "never"
    [ "$1" != never ] && [ "$1" -le 2000 ] && echo yes || echo "no ($1 ms)"
}
address_lines() { grep '^> IP Addresses:' "$run/out"; }

run=$work/service && mkdir "$run" && write_table "$run/default.drf"
start_service "$run" "$program"
check "started on loopback alone" "> IP Addresses: 127.0.0.1 127.0.0.1 " "$(address_lines)"

# Two addresses in one burst: one line, and each served and counted for Local answers within 2 s. A client on a
# network of none of them is given one of them, never this machine's loopback address.
start=$(now_ms)
printf 'addr add 192.0.2.1/24 dev veth0\naddr add 203.0.113.1/24 dev veth0\n' | ip -batch -
ip route add 198.51.100.0/24 dev veth0
check "addresses that came: Local answers from them within 2 s" "yes" \
    "$(within_2s "$(took_until_answered "$start" 192.0.2.53 192.0.2.1)")"
check "a client on another network" "203.0.113.1" "$(ask_from_client 198.51.100.53)"
check "one line for the burst" "> IP Addresses: 127.0.0.1 127.0.0.1 
> IP Addresses: 127.0.0.1 192.0.2.1 203.0.113.1 " "$(address_lines)"
check "the PTR of an address that came is the host name" "$(hostname)." \
    "$(dig @127.0.0.1 +short +tries=2 +time=2 -x 203.0.113.1)"

# An address that goes is dropped from the Local answers, with its line.
start=$(now_ms)
ip addr del 203.0.113.1/24 dev veth0
check "an address that went: gone from Local answers within 2 s" "yes" \
    "$(within_2s "$(took_until_answered "$start" 198.51.100.53 192.0.2.1)")"
wait_for 2 grep -q '^> IP Addresses: 127.0.0.1 192.0.2.1 $' "$run/out"
check "its line" "> IP Addresses: 127.0.0.1 192.0.2.1 " "$(address_lines | tail -n +3)"
check "loopback's own client" "127.0.0.1" "$(ask gateway)"

check "TCP on an address that came, and listening no more on one that went" "192.0.2.1 127.0.0.1:53 192.0.2.1:53" \
    "$(nsenter -t "$client" -n dig @192.0.2.1 -b 192.0.2.53 +tcp +short +tries=1 +time=2 gateway)\
 $(ss -Htln 'sport = :53' | awk '{print $4}' | sort | xargs)"
stop_process "$pid"
check "SIGTERM exit code" "0" "$?"

# Beside another server on one of the machine's addresses (dnsmasq on a virtual machines' bridge): each answers its
# own, the address is left to the other with a warning line, and a second copy is still refused.
ip addr add 198.18.0.1/24 dev veth0
dnsmasq --no-daemon --no-resolv --no-hosts --listen-address=198.18.0.1 --bind-interfaces \
    --address=/vm.test/10.9.9.9 --log-facility=/dev/null 2>/dev/null &
dnsmasq=$!
wait_for 5 sh -c "ss -Htln 'sport = :53' | grep -q 198.18.0.1"
start_service "$run" "$program"
check "the address another server holds is left to it, with a line" \
    "> Warning: 198.18.0.1 port 53 is held by another program; its queries are left to it" \
    "$(grep '^> Warning: 198' "$run/out")"
check "each answers its own, over UDP and TCP" "10.9.9.9 10.9.9.9 10.0.0.1 10.0.0.1" \
    "$(for transport in +notcp +tcp; do dig @198.18.0.1 $transport +short +tries=1 +time=2 vm.test; done | xargs)\
 $(for transport in +notcp +tcp; do dig @192.0.2.1 $transport +short +tries=1 +time=2 printer; done | xargs)"
(cd "$run" && exec "$program" </dev/null >second 2>&1)
check "a second copy refused" "3 > Error: could not bind socket to port 53: 98" "$? $(tail -n 1 "$run/second")"
stop_process "$pid"
stop_process "$dnsmasq"
# Another program on every address: nothing left to serve.
python3 -c 'import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", 53)); time.sleep(30)' &
holder=$!
wait_for 5 sh -c "ss -Huln 'sport = :53' | grep -q ."
(cd "$run" && exec "$program" </dev/null >second 2>&1)
check "another program on every address: the start fails" "3 > Error: could not bind socket to port 53: 98" \
    "$? $(tail -n 1 "$run/second")"
kill "$holder"
finish addresses
