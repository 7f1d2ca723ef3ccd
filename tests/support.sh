# Shared by the whole-program test scripts, which source it: the checks and their tally, the private namespace
# that every such script runs in, the program started and stopped there, and tables written and read with the
# project's table tool.

passed=0
failed=0
# The console output of the program under test (wait_until_running sets it): shown with a failed check, so that
# the failure explains itself.
console_file=
check() { # description expected actual
    if [ "$2" == "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $1"
        diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /'
        if [ -f "$console_file" ]; then
            echo "    the program's console, $console_file (its last 40 lines):"
            tail -n 40 "$console_file" | sed 's/^/    | /'
        fi
    fi
}

finish() { # name of the script's tests
    echo "$1: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# Runs the calling script again inside a private network and mount namespace, once; exit code 77 (skipped)
# where none can be made or dig is missing. Variables exported before the call reach the second run.
enter_namespace() { # script, then its arguments
    [ "${DNS_TEST_NAMESPACE:-}" = 1 ] && return 0
    unshare --net --mount true 2>/dev/null || { echo "no private namespace here: skipped"; exit 77; }
    command -v dig >/dev/null || { echo "dig is missing: skipped"; exit 77; }
    exec env DNS_TEST_NAMESPACE=1 unshare --net --mount --fork bash "$@"
}

# Skips the test (exit code 77) when a peer program it runs is missing.
require_peers() { # programs
    local peer
    for peer in "$@"; do
        command -v "$peer" >/dev/null || { echo "$peer is missing (scripts/test.sh installs it): skipped"; exit 77; }
    done
}

# Starts unbound forwarding everything to the server at 192.0.2.1 and answering on 127.0.0.1 port 5300, with the
# server: options on standard input added to what $work/unbound.d holds (the stock files, where a test copied them
# there). Sets unbound: its id; so it is called with a redirection, not in a pipe.
start_unbound() {
    mkdir -p "$work/unbound.d"
    {
        printf 'server:\n    interface: 127.0.0.1@5300\n'
        sed 's/^/    /'
        printf 'forward-zone:\n    name: "."\n    forward-addr: 192.0.2.1\n'
    } >"$work/unbound.d/forward.conf"
    mount --bind "$work/unbound.d" /etc/unbound/unbound.conf.d
    unbound -d -c /etc/unbound/unbound.conf >"$work/unbound.out" 2>&1 &
    unbound=$!
    wait_for 5 sh -c "ss -Huan 'sport = :5300' | grep -q ."
}

# Inside the namespace: a work directory, loopback up, and a second network on a veth pair whose end here is
# 192.0.2.1/24 and whose other end answers nobody. At exit the work directory goes, and so does any program this
# script started and left running (by its id: only our own jobs).
make_test_network() {
    work=$(mktemp -d)
    trap 'kill -KILL $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
    ip link set lo up
    ip link add veth0 type veth peer name veth1
    ip addr add 192.0.2.1/24 dev veth0
    ip link set veth0 up
    ip link set veth1 up
}

# The namespace's resolver answers from the hosts lines on standard input alone ($work/hosts, which a test may
# rewrite later), never from the machine's name servers; its resolv.conf ($work/resolv.conf, empty unless a test
# writes it) names no DNS server or search domain of the machine's.
resolve_from_hosts() {
    printf 'hosts: files\n' >"$work/nsswitch.conf"
    cat >"$work/hosts"
    : >"$work/resolv.conf"
    for file in nsswitch.conf hosts resolv.conf; do mount --bind "$work/$file" "/etc/$file"; done
}

# Put before a command line, runs it with /proc as the Debian unit shows /proc to the service (ProcSubset=pid,
# ProtectProc=invisible): the processes' folders and /proc/self only, no /proc/net. In pid and mount namespaces of its
# own, which end with the command. The wrapper ends with the command and its exit code, and ignores SIGTERM: signal
# the command (`wrapped`), or end the wrapper with SIGKILL, which ends the command with it.
as_unit_proc=(unshare --pid --mount --fork --kill-child
    sh -c 'mount -t proc -o subset=pid,hidepid=invisible proc /proc && exec "$@"' -)
wrapped() { # the wrapper's pid; prints the command's
    cat "/proc/$1/task/$1/children"
}

# Starts a command line in a directory, its output in DIRECTORY/out, and waits for the server to run. Sets pid.
start_service() { # directory, then the command line
    local directory=$1
    shift
    # A console file left by an earlier start would report this one running before it has begun.
    rm -f "$directory/out"
    (cd "$directory" && exec "$@" </dev/null >out 2>&1) &
    pid=$!
    wait_until_running "$directory/out"
}

# Waits up to start_seconds (20: a sanitizer's build on a busy machine) for the program writing the console file to
# report its service running; the file becomes the one a failed check shows, and a start that never came is one.
# The socket is bound by the time of the report.
wait_until_running() { # console file
    console_file=$1
    wait_for "${start_seconds:-20}" grep -q "DNS server running" "$1" 2>/dev/null && return 0
    check "the program reports its service running within ${start_seconds:-20} s" yes no
    return 1
}

# Runs the command every tenth of a second until it succeeds, for at most SECONDS; fails when it never did.
wait_for() { # seconds, then the command
    local deadline=$((SECONDS + $1 + 1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# Ends a process this script started, by its id: the signal (TERM; 0 only waits), then -9 when it has not ended
# within ten seconds. Returns its exit code.
stop_process() { # pid [signal]
    kill "-${2:-TERM}" "$1" 2>/dev/null
    for _ in $(seq 100); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$1" 2>/dev/null
    wait "$1"
}

# Asks for printer at the broadcast address of the veth's network, from 192.0.2.1; prints where the answer came
# from and its address.
ask_broadcast() {
    python3 -c 'import socket
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
client.settimeout(5)
client.bind(("192.0.2.1", 0))
client.sendto(b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x07printer\x00\x00\x01\x00\x01", ("192.0.2.255", 53))
answer, source = client.recvfrom(512)
print(source[0], socket.inet_ntoa(answer[-4:]))'
}

# The address a name gets from the server at the address (127.0.0.1), asked from there.
ask() { # name [address]
    dig @"${2:-127.0.0.1}" -b "${2:-127.0.0.1}" +short +tries=5 +time=2 "$1" 2>/dev/null | grep -v '^;'
}

# The project's table tool, built beside the program under test (or where `table_tool` says): writes and reads
# table files. A Windows build's runs under Wine (the scripts that test one set `wine`).
velquorn_table() { # write|read FILE
    local tool=${table_tool:-$(dirname "$program")/velquorn-table}
    if [ -n "${wine:-}" ]; then
        timeout 120 "$wine" "$tool.exe" "$@" | tr -d '\r'
    else
        "$tool" "$@"
    fi
}

# Prints "COUNT EXACT" and then the names of a table file, one a line.
read_table() { # file
    velquorn_table read "$1" | awk 'NR == 1 {print; next} {print $1}'
}

# printer at 10.0.0.1, gateway answered with the server's own address, files forwarded to nas.lan.
write_table() { # file
    velquorn_table write "$1" <<'TABLE'
printer 10.0.0.1
gateway Local
files -> nas.lan
TABLE
}
# What the program reports at its start with that table, on loopback and the veth.
started="> The Velquorn Software DNS Server

> IP Addresses: 127.0.0.1 192.0.2.1 
> Loading resolutions: Done. Entries:
> > 0 : printer : 10.0.0.1
> > 1 : gateway : Local
> > 2 : files : nas.lan
> DNS server running"

# Moves the veth's other end into a network namespace of its own at 192.0.2.53, for an upstream DNS server of the
# test's own (run it there with `nsenter -t "$upstream_net" -n`). Sets upstream_net: the id of the process that holds
# the namespace, a job of this script, ended with the others at exit.
make_upstream_network() {
    unshare --net sleep 120 &
    upstream_net=$!
    wait_for 5 test "$(readlink "/proc/$upstream_net/ns/net")" != "$(readlink /proc/self/ns/net)"
    ip link set veth1 netns "$upstream_net"
    nsenter -t "$upstream_net" -n sh -c 'ip link set lo up && ip addr add 192.0.2.53/24 dev veth1 && ip link set veth1 up'
}
