#!/usr/bin/env bash
# Runs the built program in private namespaces with an upstream DNS server of the test's own and checks what each
# type of question gets: the times to live, no data for other types of table names, PTRs of the table's addresses,
# other types of unknown names passed to the machine's DNS servers and back, negative answers kept for their time
# and never learned; then through real peers in front of it: host, delv, dnsmasq and unbound as Debian ships it.
# Every run is bounded. Usage: types_test.sh PATH-OF-PROGRAM. Exit code 77 when no namespace can be made here.
set -u
program=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
enter_namespace "$0" "$@"
require_peers delv dnsmasq unbound

make_test_network
make_upstream_network
# The upstream: the root zone with a few names, no such name (with the zone's SOA) for the rest, no data for other
# types of its names. Every question it gets goes into a log as "NAME TYPE", so that the test can count them.
cat >"$work/upstream.py" <<'PYTHON'
import socket, struct, sys
def wire(name):
    return b"".join(bytes([len(label)]) + label.encode() for label in name.split(".") if label) + b"\0"
A, SOA, PTR, MX, TXT, AAAA, SRV = 1, 6, 12, 15, 16, 28, 33
v6 = socket.inet_pton(socket.AF_INET6, "2001:db8::5")
zone = {"": {}, "example": {}, "www.example": {A: bytes([10, 5, 5, 8])}, "v6only.example": {AAAA: v6},
        "known.example": {A: bytes([10, 5, 5, 5]), AAAA: v6, MX: b"\0\x0a" + wire("mail.known.example"),
                          TXT: b"\x05hello"},
        "mail.known.example": {A: bytes([10, 5, 5, 7])},
        "_sip._udp.known.example": {SRV: struct.pack(">HHH", 0, 5, 5060) + wire("known.example")},
        "6.5.5.10.in-addr.arpa": {PTR: wire("host6.example")},
        "big.example": {TXT: (b"\xc8" + b"t" * 200) * 4}}
soa = wire("ns.example") + wire("hostmaster.example") + struct.pack(">5I", 7, 3600, 600, 86400, 30)
soa = wire("") + struct.pack(">HHIH", SOA, 1, 30, len(soa)) + soa
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((sys.argv[1], 53))
log = open(sys.argv[2], "a", buffering=1)
while True:
    query, client = s.recvfrom(4096)
    labels, i = [], 12
    while query[i]:
        labels.append(query[i + 1:i + 1 + query[i]].decode().lower()); i += 1 + query[i]
    name, qtype = ".".join(labels), struct.unpack(">H", query[i + 1:i + 3])[0]
    log.write(f"{name or '.'} {qtype}\n")
    data = zone.get(name, {}).get(qtype)
    answer = struct.pack(">HHHHHH", struct.unpack(">H", query[:2])[0], 0x8180 | (0 if name in zone else 3), 1,
                         int(data is not None), int(data is None), 0) + query[12:i + 5]
    if data is None:
        answer += soa
    else:
        answer += b"\xc0\x0c" + struct.pack(">HHIH", qtype, 1, 30, len(data)) + data
    s.sendto(answer, client)
PYTHON
nsenter -t "$upstream_net" -n python3 "$work/upstream.py" 192.0.2.53 "$work/asked" &
wait_for 5 sh -c 'dig @192.0.2.53 +tries=1 +time=1 example | grep -q NOERROR'
printf 'hosts: files dns\n' >"$work/nsswitch.conf"
printf '127.0.0.1 localhost\n192.0.2.50 nas.lan\n' >"$work/hosts"
printf 'nameserver 192.0.2.53\noptions timeout:1 attempts:1\n' >"$work/resolv.conf"
for file in nsswitch.conf resolv.conf hosts; do mount --bind "$work/$file" "/etc/$file"; done
# The peers' pid files and control sockets stay in this namespace.
mount -t tmpfs tmpfs /run

ask_dns() { dig @127.0.0.1 +tries=1 +time=3 "$@"; }
# The answer's records without their owner (time to live, class, type, data), after the question with +question.
# dig drops an answer whose ID is not its query's.
records() { ask_dns +noall +answer "$@" | awk '/^;/ {$1 = $1; print; next} {$1 = ""; print substr($0, 2)}'; }
# The response code and the number of answer records.
status() { ask_dns "$@" | grep -o -e 'status: [A-Z]*' -e 'ANSWER: [0-9]*' | cut -d' ' -f2 | xargs; }
# The response code and the authority's SOA: its time to live and MINIMUM.
negative() {
    ask_dns +noall +comments +authority "$@" |
        awk '/status:/ {sub(",", "", $6); code = $6} /\tSOA\t/ {soa = " " $2 " " $NF} END {print code soa}'
}
asked() { grep -cxF "$1" "${2:-$work/asked}"; } # how often the upstream was asked "NAME TYPE"

run=$work/run && mkdir "$run" && write_table "$run/default.drf"
start_service "$run" "$program" -t 300

# The type asked of a table name.
check "a table name has no DS: no data, with an SOA of the answers' time to live" "NOERROR 300 300" \
    "$(negative DS printer)"
check "a class neither IN nor ANY is refused" "REFUSED 0" "$(status -c CH printer)"
check "the PTR of a fixed entry's address is its name, of the server's own its host name" "printer. $(hostname)." \
    "$(ask_dns +short -x 10.0.0.1) $(ask_dns +short -x 192.0.2.1)"

# Other types of names the table lacks: passed to the machine's DNS servers, their answer passed back.
check "AAAA, MX, SRV, TXT and PTR of names the table lacks are the upstream's records as it sent them" \
    "30 IN AAAA 2001:db8::5
30 IN MX 10 mail.known.example.
30 IN SRV 0 5 5060 known.example.
30 IN TXT \"hello\"
30 IN PTR host6.example." "$(for question in "AAAA known.example" "MX known.example" "SRV _sip._udp.known.example" \
    "TXT known.example" "-x 10.5.5.6"; do records $question; done)"
check "a passed-on answer keeps the question as the client asked it" ";KnOwN.example. IN MX
30 IN MX 10 mail.known.example." "$(records +question MX KnOwN.example)"
check "the upstream's no-such-name and no-data keep its SOA" "NXDOMAIN 30 30 NOERROR 30 30" \
    "$(negative AAAA gone.example) $(negative MX v6only.example)"

# EDNS: an OPT record answers one, a newer version is refused, and an answer is held to what the client takes.
# The response code, the header's flags, and the OPT record as dig shows it.
edns() {
    ask_dns "$@" | grep -o -e 'status: [A-Z]*' -e '^;; flags: [a-z ]*' -e 'version: [0-9]*, flags:[a-z ]*; udp: [0-9]*' |
        xargs
}
ours="version: 0, flags:; udp: 1232"
check "an OPT record is answered with ours, 1232 bytes, DO as asked, also where a lookup came between" \
    "status: NOERROR ;; flags: qr aa rd ra $ours
status: NOERROR ;; flags: qr aa rd ra ${ours/flags:/flags: do}
status: NOERROR ;; flags: qr aa rd ra $ours" "$(edns +edns=0 printer; edns +dnssec printer; edns files)"
check "a version above 0 is BADVERS, with an OPT record of version 0" "status: BADVERS ;; flags: qr aa rd ra $ours" \
    "$(edns +edns=1 +noednsneg printer)"
check "two OPT records are a format error, with an OPT record" "1 1" "$(python3 -c 'import socket
opt, s = bytes([0, 0, 41, 4, 208, 0, 0, 0, 0, 0, 0]), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(3); s.sendto(b"\x12\x34\1\0\0\1\0\0\0\0\0\2\7printer\0\0\1\0\1" + opt + opt, ("127.0.0.1", 53))
answer = s.recv(512); print(answer[3] & 15, answer[11])')"
check "an upstream's answer of 850 bytes is cut with TC for a client without EDNS, whole within a client's 1232" \
    "status: NOERROR ;; flags: qr tc rd ra 1" "$(edns +noedns +ignore TXT big.example) $(records TXT big.example | wc -l)"

# Negative answers of the server's own: kept for the answers' time to live, never learned.
check "a name the resolver does not know: no such name, with an SOA of the answers' time to live" "NXDOMAIN 300 300" \
    "$(negative nobody.example)"
# glibc says EAI_NODATA for a name with an AAAA record and no A record.
check "a name without an IPv4 address is no data, not no such name" "NOERROR 300 300" "$(negative v6only.example)"
check "nothing passed on, denied or without an address is written to the file" "3 1 printer gateway files" \
    "$(read_table "$run/default.drf" | xargs)"
check "fixed and learned answers carry -t's time to live, Local and forward ones 0" "300 0 0 300" \
    "$(for name in printer gateway files mail.known.example; do records $name | cut -d' ' -f1; done | xargs)"
# An admin adds the name clients miss, as a script does, and reloads: its negative answer ends at once.
{ velquorn_table read "$run/default.drf" | tail -n +2 && echo 'nobody.example 10.9.9.9'; } |
    velquorn_table write "$run/new.drf" && mv "$run/new.drf" "$run/default.drf" && kill -HUP "$pid"
wait_for 5 grep -q 'Resolutions reloaded' "$run/out"
check "a reload that adds a name denied before answers it at once" "10.9.9.9" "$(ask nobody.example)"

# Peers in front of the server.
check "host prints one line for a table name" "printer has address 10.0.0.1" \
    "$(timeout 10 host printer 127.0.0.1 | sed '1,/^Aliases:/d;/^$/d')"
check "delv, not validating, prints a table name's record" "printer. 300 IN A 10.0.0.1" \
    "$(timeout 10 delv -i @127.0.0.1 printer | grep -v '^;' | tr -s '\t' ' ')"
dnsmasq --no-daemon --no-resolv --no-hosts --server=192.0.2.1 --listen-address=127.0.0.1 --port=5301 \
    --bind-interfaces --log-facility=/dev/null 2>"$work/dnsmasq.out" &
dnsmasq=$!
wait_for 5 sh -c "ss -Huan 'sport = :5301' | grep -q ."
check "dnsmasq in front: AAAA of a table name is no data, which it keeps for the SOA's time" "NOERROR 0 NOERROR 0 1" \
    "$(status -p 5301 AAAA printer) $(status -p 5301 AAAA printer) $(grep -c '^> 192.0.2.1: printer AAAA' "$run/out")"
stop_process "$dnsmasq"
# unbound as Debian configures it: the stock configuration, validating with the root's trust anchor (which its unit
# puts in place before it starts), here forwarding everything to the server and logging to a file of the test.
mkdir "$work/unbound-lib" && chown unbound: "$work/unbound-lib" && mount --bind "$work/unbound-lib" /var/lib/unbound
/usr/libexec/unbound-helper root_trust_anchor_update >/dev/null
cp -a /etc/unbound/unbound.conf.d "$work/unbound.d"
start_unbound <<<'use-syslog: no'
check "unbound in front, not checking signatures, gives a table name and a name of the upstream" "10.0.0.1 10.5.5.8" \
    "$(dig @127.0.0.1 -p 5300 +tries=1 +time=5 +cd +short printer www.example | xargs)"
# Validating, it fetches the root's DNSKEY through the server: unsigned, the upstream's chain is bogus, and unbound
# gives a server failure, but it must have had an answer, not a denial of the root or a failure of ours.
dig @127.0.0.1 -p 5300 +tries=1 +time=5 printer >/dev/null
check "unbound's DNSKEY and DS queries reach the upstream and are answered, neither denied nor failed" "yes 0" \
    "$([ "$(asked '. 48')" -gt 0 ] && echo yes) $(grep -E '^> 192\.0\.2\.1: [^ ]* (DNSKEY|DS) -> ' "$run/out" |
        grep -c -e 'Failure\.$' -e 'No such name\.$')"
stop_process "$unbound"
stop_process "$pid"

# systemd-resolved's stub (here the test's upstream on 127.0.0.53) as the machine's DNS server: it is asked, while
# the server answers on 127.0.0.1. A no-such-name is kept for -t's 2 seconds.
python3 "$work/upstream.py" 127.0.0.53 "$work/stub-asked" &
stub=$!
wait_for 5 sh -c 'dig @127.0.0.53 +tries=1 +time=1 example | grep -q NOERROR'
printf 'nameserver 127.0.0.53\noptions timeout:1 attempts:1\n' >"$work/resolv.conf"
start_service "$run" "$program" -t 2
check "a resolver's stub on 127.0.0.53 is asked as the machine's DNS server" "30 IN MX 10 mail.known.example. 1" \
    "$(records MX known.example) $(asked 'known.example 15' "$work/stub-asked")"
denied="$(status gone.example) $(status gone.example)"
sleep 2.5
check "a no-such-name is answered alike from memory within its time to live, and asked again after it" \
    "NXDOMAIN 0 NXDOMAIN 0 1 2" "$denied $(asked 'gone.example 1' "$work/stub-asked") $(status gone.example >/dev/null
    asked 'gone.example 1' "$work/stub-asked")"
stop_process "$pid"
kill "$stub"

# Every DNS server of the machine's resolver one of the server's own addresses: none is asked, and the query
# fails at once rather than after a time-out.
printf 'nameserver 127.0.0.1\nnameserver 192.0.2.1\noptions timeout:2 attempts:1\n' >"$work/resolv.conf"
start_service "$run" "$program"
start=$(date +%s%N)
check "with only the server's own addresses as DNS servers, AAAA of an unknown name fails at once" "SERVFAIL 0 yes" \
    "$(status AAAA known.example) $([ $(( ($(date +%s%N) - start) / 1000000 )) -lt 1000 ] && echo yes)"
stop_process "$pid"
finish types
