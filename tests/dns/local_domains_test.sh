#!/usr/bin/env bash
# Runs the built program with real clients in a private namespace: table names of one label answered under the
# local domains, as clients with a search domain ask them (systemd-resolved never sends a single label): those of
# -d, then those of the server's own resolv.conf, each once. Every run is bounded.
# Usage: local_domains_test.sh PATH-OF-PROGRAM.
set -u
program=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
enter_namespace "$0" "$@"

make_test_network
printf '127.0.0.1 localhost\n' | resolve_from_hosts
# As the resolver reads the file, the last search or domain line counts.
printf 'domain old.example\nsearch lan home.arpa.\n' >"$work/resolv.conf"
run=$work/run && mkdir "$run" && write_table "$run/default.drf"
start_service "$run" "$program" -d Office.Example. -dlan
# The machine's own clients, with the search domain lan, asking the server only.
printf 'nameserver 127.0.0.1\nsearch lan\noptions timeout:2 attempts:1\n' >"$work/client-resolv.conf"
printf 'hosts: dns\n' >"$work/client-nsswitch.conf"
as_client() {
    unshare --mount sh -c 'mount --bind "$1" /etc/resolv.conf && mount --bind "$2" /etc/nsswitch.conf &&
        shift 2 && exec timeout 5 "$@"' - "$work/client-resolv.conf" "$work/client-nsswitch.conf" "$@"
}
# "STATUS ANSWERS" of an answer.
status() { dig @127.0.0.1 +tries=1 +time=2 "$@" | grep -o -e 'status: [A-Z]*' -e 'ANSWER: [0-9]*' | cut -d' ' -f2 | xargs; }

check "the local domains at start, after the addresses" "> IP Addresses: 127.0.0.1 192.0.2.1 
> Local domains: office.example lan home.arpa
> Loading resolutions: Done. Entries:" "$(sed -n 3,5p "$run/out")"
check "getent through the search domain" "10.0.0.1        printer.lan" "$(as_client getent hosts printer)"
check "host through the search domain" "printer.lan has address 10.0.0.1" "$(as_client host -t A printer)"
check "the question echoed as asked, and the console line shows it" \
    "PrInTeR.Home.Arpa. 60 IN A 10.0.0.1 > 127.0.0.1: PrInTeR.Home.Arpa -> 10.0.0.1" \
    "$(dig @127.0.0.1 +tries=1 +time=2 +noall +answer PrInTeR.Home.Arpa | tr -s '\t ' ' ') \
$(grep -m 1 'PrInTeR' "$run/out")"
check "under -d's domain; not under a domain of an earlier line of resolv.conf" "10.0.0.1 NXDOMAIN 0" \
    "$(ask printer.office.example) $(status printer.old.example)"
stop_process "$pid"
finish local_domains
