#!/usr/bin/env bash
# Runs the built program in private namespaces and checks what it serves over TCP: the same answers as over UDP
# for each kind of entry, several queries on one connection, the bounds on connections (how many, how idle, how
# much unread), and real peers asking over TCP: dig, unbound with tcp-upstream and dnsmasq relaying its client's
# TCP query. Every run is bounded. Usage: tcp_test.sh PATH-OF-PROGRAM. Exit code 77 when no namespace can be made.
set -u
program=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
enter_namespace "$0" "$@"
require_peers dnsmasq unbound

make_test_network
make_upstream_network
# The upstream, over UDP and TCP: MX of known.example; big.example's TXT records, too many for 512 bytes, truncated
# over UDP to a client without EDNS; no such name for the rest.
cat >"$work/upstream.py" <<'PYTHON'
import socket, struct, sys, threading
def wire(name):
    return b"".join(bytes([len(label)]) + label.encode() for label in name.split(".") if label) + b"\0"
def answer(query, udp):
    labels, i = [], 12
    while query[i]:
        labels.append(query[i + 1:i + 1 + query[i]].decode().lower()); i += 1 + query[i]
    name, qtype = ".".join(labels), struct.unpack(">H", query[i + 1:i + 3])[0]
    records = []
    if name == "known.example" and qtype == 15:
        records = [b"\0\x0a" + wire("mail.known.example")]
    if name == "big.example" and qtype == 16:
        records = [bytes([200]) + bytes([65 + n % 26]) * 200 for n in range(30)]
    head = struct.pack(">HHHHHH", struct.unpack(">H", query[:2])[0], 0x8180 | (0 if records else 3), 1,
                       len(records), 0, 0) + query[12:i + 5]
    whole = head + b"".join(b"\xc0\x0c" + struct.pack(">HHIH", qtype, 1, 30, len(r)) + r for r in records)
    if udp and len(whole) > 512:
        return head[:2] + struct.pack(">H", 0x8380) + struct.pack(">HHHH", 1, 0, 0, 0) + head[12:]
    return whole
def serve_tcp(listener):
    while True:
        connection, _ = listener.accept()
        with connection:
            length = struct.unpack(">H", connection.recv(2, socket.MSG_WAITALL))[0]
            reply = answer(connection.recv(length, socket.MSG_WAITALL), False)
            connection.sendall(struct.pack(">H", len(reply)) + reply)
listener = socket.create_server((sys.argv[1], 53))
threading.Thread(target=serve_tcp, args=(listener,), daemon=True).start()
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 53))
while True:
    query, client = s.recvfrom(4096)
    s.sendto(answer(query, True), client)
PYTHON
nsenter -t "$upstream_net" -n python3 "$work/upstream.py" 192.0.2.53 &
wait_for 5 sh -c 'dig @192.0.2.53 +tries=1 +time=1 +tcp MX known.example | grep -q NOERROR'
printf '127.0.0.1 localhost\n192.0.2.50 nas.lan\n192.0.2.60 new.lan\n' | resolve_from_hosts
printf 'nameserver 192.0.2.53\noptions timeout:1 attempts:1\n' >"$work/resolv.conf"
# The peers' pid files and control sockets stay in this namespace.
mount -t tmpfs tmpfs /run

run=$work/run && mkdir "$run" && write_table "$run/default.drf"
start_service "$run" "$program"

# The status, the flags and the answer records, without the ID and the time it took.
answer_of() { dig +tries=1 +time=3 +noall +comments +answer "$@" | grep -v -e '^;; Query time' -e 'id: '; }
same=
for question in "printer" "gateway @192.0.2.1" "files" "new.lan" "gone.lan" "AAAA printer" "MX known.example"; do
    # shellcheck disable=SC2086 # the question's words are dig's arguments
    tcp=$(answer_of @127.0.0.1 +tcp $question)
    # shellcheck disable=SC2086
    [ "$tcp" = "$(answer_of @127.0.0.1 $question)" ] && [ -n "$tcp" ] || same+="differs: $question; "
done
check "each kind of entry, a learned name, a failure, no data and an answer passed on: the same over TCP as UDP" \
    "" "$same"
# The upstream truncates big.example's 30 TXT records over UDP: the server asks it again over TCP, and hands the
# whole answer on over TCP, and to a client without EDNS over UDP only the question with TC.
check "a large passed-on answer: TC over UDP, whole over TCP" "tc 0 30" \
    "$(dig @127.0.0.1 +tries=1 +time=3 +noedns +ignore TXT big.example | grep -o -e ' tc' -e 'ANSWER: [0-9]*' |
        awk '{printf "%s ", $NF}')$(dig @127.0.0.1 +tries=1 +time=3 +tcp +short TXT big.example | wc -l)"
check "dig ANY asks over TCP and gets the A record" "10.0.0.1 TCP" \
    "$(dig @127.0.0.1 +tries=1 ANY printer | awk '/^printer/ {a = $5} /^;; SERVER/ {t = $NF} END {print a, t}' |
        tr -d '()')"

# The test's TCP client: several scenarios, each bounded in time.
cat >"$work/client.py" <<'PYTHON'
import socket, statistics, struct, sys, threading, time
def query(name, ident, qtype=1):
    wire = b"".join(bytes([len(label)]) + label.encode() for label in name.split(".")) + b"\0"
    message = struct.pack(">HHHHHH", ident, 0x100, 1, 0, 0, 0) + wire + struct.pack(">HH", qtype, 1)
    return struct.pack(">H", len(message)) + message
def replies(connection, count):
    got = []
    for _ in range(count):
        length = struct.unpack(">H", connection.recv(2, socket.MSG_WAITALL))[0]
        message = connection.recv(length, socket.MSG_WAITALL)
        got.append("%d:%d:%d" % (struct.unpack(">H", message[:2])[0], message[3] & 15, message[7]))
    return " ".join(sorted(got))
def closed(connection):  # whether the server has closed it, without waiting
    connection.setblocking(False)
    try:
        return connection.recv(1, socket.MSG_PEEK) == b""
    except BlockingIOError:
        return False
    except ConnectionError:
        return True
def udp_time(name):  # milliseconds to an answer over UDP, or None
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(2)
    start = time.monotonic()
    s.sendto(query(name, 7)[2:], ("127.0.0.1", 53))
    try:
        s.recv(512)
        return (time.monotonic() - start) * 1000
    except socket.timeout:
        return None
def connect():
    connection = socket.create_connection(("127.0.0.1", 53), timeout=15)
    return connection
what = sys.argv[1]
if what == "pipelined":  # three queries in one write; each answer as it is ready
    c = connect()
    c.sendall(query("printer", 1) + query("files", 2) + query("gateway", 3, 28))
    print(replies(c, 3))
elif what == "crowd":  # 100 at once: the oldest idle beyond 64 are closed, UDP still answered, the newest serve
    crowd = [connect() for _ in range(100)]
    for _ in range(50):  # until the server has taken them all: the oldest are closed then
        time.sleep(0.1)
        if all(closed(c) for c in crowd[:36]):
            break
    udp = udp_time("printer")
    print(sum(closed(c) for c in crowd[:36]), sum(not closed(c) for c in crowd[36:]), udp is not None, end=" ")
    crowd[-1].setblocking(True)
    crowd[-1].sendall(query("printer", 9))
    print(replies(crowd[-1], 1))
elif what == "half":  # half a message, then nothing: closed within the idle time; seconds until then
    c = connect()
    c.sendall(b"\x00\x28" + query("printer", 1)[2:12])
    start = time.monotonic()
    print(c.recv(1) == b"", round(time.monotonic() - start))
elif what == "empty":  # a message of length 0 ends the connection; the query before it is answered
    c = connect()
    c.sendall(query("printer", 1) + b"\x00\x00" + query("files", 2))
    print(replies(c, 1), c.recv(1) == b"")
elif what == "unread":  # 10,000 queries, no answer read: closed, while others are answered within 10 ms
    c = socket.socket()
    c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # so that the answers back up at the server
    c.settimeout(15)
    c.connect(("127.0.0.1", 53))
    ended = []
    def flood():
        try:
            c.sendall(b"".join(query("printer", n % 65536) for n in range(10000)))
            time.sleep(1)
            c.sendall(query("printer", 1))
        except OSError:
            ended.append(True)
    sender = threading.Thread(target=flood)
    sender.start()
    times = [udp_time("printer") for _ in range(20)]
    sender.join(12)
    print(None not in times and statistics.median(times) < 10, ended == [True])
PYTHON
client() { timeout 20 python3 "$work/client.py" "$@"; }
check "three queries on one connection, each answered" "1:0:1 2:0:1 3:0:0" "$(client pipelined)"
check "100 connections at once: the 36 oldest closed, 64 kept, UDP answered, the newest answers" "36 64 True 9:0:1" \
    "$(client crowd)"
client half >"$work/half" &
half=$!
check "a message of length 0 closes its connection after the answers before it" "1:0:1 True" "$(client empty)"
check "a client that never reads its 10,000 answers is closed; others are answered within 10 ms meanwhile" \
    "True True" "$(client unread)"
wait "$half"
check "half a message and then silence: closed after the idle time, 10 s" "True 10" "$(cat "$work/half")"

# Peers asking over TCP: dnsmasq relaying its client's TCP query, unbound with tcp-upstream.
dnsmasq --no-daemon --no-resolv --no-hosts --server=192.0.2.1 --listen-address=127.0.0.1 --port=5301 \
    --bind-interfaces --log-facility=/dev/null 2>"$work/dnsmasq.out" &
dnsmasq=$!
wait_for 5 sh -c "ss -Htln 'sport = :5301' | grep -q ."
check "dnsmasq relays its client's TCP query over TCP" "10.0.0.1" \
    "$(dig @127.0.0.1 -p 5301 +tcp +tries=1 +time=5 +short printer)"
stop_process "$dnsmasq"
start_unbound <<<$'tcp-upstream: yes\nmodule-config: "iterator"'
check "unbound with tcp-upstream gets a table name and a passed-on answer" "10.0.0.1 10 mail.known.example." \
    "$(dig @127.0.0.1 -p 5300 +tries=1 +time=5 +short printer known.example MX | xargs)"
stop_process "$unbound"
stop_process "$pid"
finish tcp
