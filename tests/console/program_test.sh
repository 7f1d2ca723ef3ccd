#!/usr/bin/env bash
# Runs the built program as a user would, inside a private network and mount namespace: it binds the real port 53
# there, and learns names only from an /etc/hosts that this script writes. Every run is bounded in time.
# Usage: program_test.sh PATH-OF-PROGRAM. Exit code 77 when no namespace can be made here.
set -u
program=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
enter_namespace "$0" "$@"

make_test_network
printf 'hosts: files\n' >"$work/nsswitch.conf"
mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf
write_hosts() { printf '127.0.0.1 localhost\n%s\n' "$@" >"$work/hosts"; }
write_hosts "10.1.2.3 learned.lan" "192.0.2.50 nas.lan"
mount --bind "$work/hosts" /etc/hosts


# A table of three entries: printer at 10.0.0.1, gateway answered with the server's own address, files
# forwarded to nas.lan.
write_table() {
    printf '\x03\x00\x00\x00'
    printf '\x00\x00\x00\x00\x07\x00printer\x0a\x00\x00\x01'
    printf '\x00\x00\x00\x00\x07\x00gateway\x00\x00\x00\x00'
    printf '\x01\x00\x00\x00\x05\x00files\x07\x00nas.lan'
}

pid=
start_service() { # directory, then the program's arguments
    local directory=$1
    shift
    (cd "$directory" && exec timeout 60 "$program" "$@" </dev/null >out 2>&1) &
    pid=$!
    for _ in $(seq 50); do
        grep -q "DNS server running" "$directory/out" 2>/dev/null && break
        sleep 0.1
    done
}
stopped=
stop_service() { # signal; sets stopped to the exit code
    kill "-$1" "$pid"
    wait "$pid"
    stopped=$?
}
ask() { # name [client address]; the first lookup retries while the server is still binding its socket
    dig @127.0.0.1 -b "${2:-127.0.0.1}" +short +tries=5 +time=1 "$1" A 2>/dev/null | grep -v '^;'
}
addresses_line() { sed -n 3p "$1"; }
on_terminal() { # directory, seconds of input script, the program's arguments
    local directory=$1 input=$2
    shift 2
    (cd "$directory" && eval "$input" | timeout 20 script -qefc "$program $*" /dev/null) | cat -v
}

# A service run: the start-up report, one line per query, learning, and SIGTERM ending it with exit code 0.
run=$work/service && mkdir "$run" && write_table >"$run/default.drf"
start_service "$run"
check "fixed entry" "10.0.0.1" "$(ask printer)"
check "Local from this machine" "127.0.0.1" "$(ask gateway)"
check "Local from the second network" "192.0.2.1" "$(ask gateway 192.0.2.1)"
check "forward entry" "192.0.2.50" "$(ask files)"
# A query sent to the broadcast address is answered from the interface's own address.
check "broadcast query" "192.0.2.1 10.0.0.1" "$(python3 - <<'PYTHON'
import socket
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
client.settimeout(2)
client.bind(("192.0.2.1", 0))
client.sendto(b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x07printer\x00\x00\x01\x00\x01", ("192.0.2.255", 53))
answer, source = client.recvfrom(512)
print(source[0], socket.inet_ntoa(answer[-4:]))
PYTHON
)"
check "learned name" "10.1.2.3" "$(ask learned.lan)"
check "unknown name" "SERVFAIL" "$(dig @127.0.0.1 +tries=1 +time=1 nobody.lan | awk '/status:/{print $6}' | tr -d ,)"

# The machine's ordinary clients, their resolver pointed at the server in a nested mount namespace (the server
# itself keeps resolving from files only). Each must finish well inside one resolver time-out of 5 s: a client
# that waits the time-out out is cut off by the 3 s limit.
# host, like dig, takes a server failure for a search domain as final, so it gets a resolv.conf without one.
printf 'nameserver 127.0.0.1\nsearch lan\noptions timeout:5 attempts:2\n' >"$work/client-resolv.conf"
printf 'nameserver 127.0.0.1\noptions timeout:5 attempts:2\n' >"$work/host-resolv.conf"
printf 'hosts: dns\n' >"$work/client-nsswitch.conf"
as_client() { # [-r RESOLV-FILE] command...
    local resolv=$work/client-resolv.conf
    [ "$1" = -r ] && resolv=$2 && shift 2
    unshare --mount sh -c 'mount --bind "$1" /etc/resolv.conf && mount --bind "$2" /etc/nsswitch.conf &&
        shift 2 && exec timeout 3 "$@"' - "$resolv" "$work/client-nsswitch.conf" "$@"
}
dig_question() { dig @127.0.0.1 +tries=1 +time=1 +noall +question +answer "$@" | sed 's/^;//' | awk '{$1 = $1} 1'; }
check "getent ahosts" "10.0.0.1" "$(as_client getent ahosts printer | awk '{print $1}' | sort -u)"
check "getent hosts" "10.0.0.1        printer" "$(as_client getent hosts printer)"
check "python getaddrinfo" "10.0.0.1" \
    "$(as_client python3 -c 'import socket; print(socket.getaddrinfo("printer", 80)[0][4][0])')"
check "host" "printer has address 10.0.0.1" "$(as_client -r "$work/host-resolv.conf" host printer 127.0.0.1 | grep 'has address' | sort -u)"
check "unknown name fails at once" "2" "$(as_client getent ahosts nobody; echo $?)"
check "dig AAAA" "printer. IN AAAA
printer. 9006000 IN A 10.0.0.1" "$(dig_question printer AAAA)"
check "dig MX" "printer. IN MX
printer. 9006000 IN A 10.0.0.1" "$(dig_question printer MX)"
check "dig unknown question" "nobody.lan. IN AAAA" "$(dig_question nobody.lan AAAA)"
stop_service TERM
check "SIGTERM exit code" "0" "$stopped"
check "service output" "> The Velquorn Software DNS Server

> IP Addresses: 127.0.0.1 192.0.2.1 
> Loading resolutions: Done. Entries:
> > 0 : printer : 10.0.0.1
> > 1 : gateway : Local
> > 2 : files : nas.lan
> DNS server running

> 127.0.0.1: printer -> 10.0.0.1
> 127.0.0.1: gateway -> 127.0.0.1
> 192.0.2.1: gateway -> 192.0.2.1
> 127.0.0.1: files -> 192.0.2.50
> 192.0.2.1: printer -> 10.0.0.1
> 127.0.0.1: learned.lan -> 10.1.2.3
> 127.0.0.1: nobody.lan -> Failure." "$(head -n 16 "$run/out")"

# The learned name is answered from the file after a restart, even though the resolver now says otherwise.
write_hosts "10.9.9.9 learned.lan"
start_service "$run"
check "learned entry listed" "> > 3 : learned.lan : 10.1.2.3" "$(grep learned.lan "$run/out")"
check "learned name after restart" "10.1.2.3" "$(ask learned.lan)"
stop_service HUP
check "SIGHUP exit code" "0" "$stopped"
check "nothing asked again" "4" "$(grep -c '^> > ' "$run/out")"

# The address options reach the address line: -i puts an address in front, -x takes one out.
start_service "$run" -i198.51.100.1 -x192.0.2.1
check "-i and -x in the address line" "> IP Addresses: 127.0.0.1 198.51.100.1 " "$(addresses_line "$run/out")"
stop_service TERM

# Port 53 taken by a socket that does not share it: without a terminal (a service manager) the program ends with
# exit code 3 after the error line; at a terminal it runs on until it is told to quit (a Ctrl+Space after a second
# still reaches the hot-key loop).
holder=$work/holder && mkdir "$holder" && write_table >"$holder/default.drf"
python3 -c 'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", 53)); time.sleep(30)' &
blocker=$!
for _ in $(seq 50); do
    ss -Huan 'sport = :53' | grep -q . && break
    sleep 0.1
done
(cd "$holder" && timeout 20 "$program" </dev/null >out 2>&1)
check "no service without a terminal: exit code" "3" "$?"
check "bind error" "> DNS server running

> Error: could not bind socket to port 53: 98" "$(tail -n 3 "$holder/out")"
output=$(on_terminal "$holder" '{ sleep 1; printf "\0"; sleep 1; printf "\033[32;6u"; sleep 1; }')
check "runs on at a terminal" "could not bind socket to port 53: 98
^[[2t^[[<u^[[>4m" "$(printf '%s\n' "$output" | grep -o 'could not bind.*98'
    printf '%s\n' "$output" | tail -n 1 | grep -o '\^\[\[2t\^\[\[<u\^\[\[>4m$')"
kill "$blocker"
wait "$blocker" 2>/dev/null

# Without a terminal, an empty datagram from this machine ends the service and the program, with exit code 0;
# one from another host (here the veth address) changes nothing.
start_service "$holder"
python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("192.0.2.1", 0)); s.sendto(b"", ("192.0.2.1", 53))'
check "an empty datagram from another host" "10.0.0.1" "$(ask printer 192.0.2.1)"
python3 -c 'import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b"", ("127.0.0.1", 53))'
wait "$pid"
check "ended by an empty datagram: exit code" "0" "$?"

# Editor runs: -e skips the address line; the screen follows the report as plain text.
editor=$work/editor && mkdir "$editor" && write_table >"$editor/default.drf"
output=$(cd "$editor" && printf 'e\n' | timeout 20 "$program" -e)
check "-e exit code" "0" "$?"
check "-e skips the address line" "> The Velquorn Software DNS Server


> Loading resolutions: Done. Entries:" "$(printf '%s\n' "$output" | head -n 4)"

# A missing file opens the editor after the address line; the first change creates the file.
empty=$work/empty && mkdir "$empty"
output=$(cd "$empty" && printf 'A printer 10.0.0.1\nexit\n' | timeout 20 "$program" new.drf)
check "empty table exit code" "0" "$?"
check "empty table opens the editor" "> IP Addresses: 127.0.0.1 192.0.2.1 
> Loading resolutions: Done. Entries:
> > No entries
> Entry Editor" "$(printf '%s\n' "$output" | sed -n 3,6p)"
check "file created" "01000000""00000000""0700""7072696e746572""0a000001" "$(od -An -tx1 "$empty/new.drf" | tr -d ' \n')"

# A file that exists but cannot be read is left alone, and the program refuses to run.
mkdir "$empty/folder.drf"
output=$(cd "$empty" && timeout 20 "$program" folder.drf </dev/null)
check "unreadable file exit code" "1" "$?"
check "unreadable file output" "> Loading resolutions: 
> Error: could not read resolutions from folder.drf: Is a directory" "$(printf '%s\n' "$output" | tail -n 2)"

# Arguments beyond the program's limits are refused before the table is touched.
long=$(printf '1%.0s' $(seq 128))
output=$(cd "$empty" && timeout 20 "$program" "-i$long" absent.drf </dev/null)
check "refused argument exit code" "2" "$?"
check "refused argument leaves no file" "no" "$([ -e "$empty/absent.drf" ] && echo yes || echo no)"

# On a terminal: a NUL byte (Ctrl+Space) asks to iconify the window without being echoed, a kitty report of
# Ctrl+Shift+Space quits once the hold is over, and the terminal modes are handed back.
output=$(on_terminal "$run" '{ sleep 0.5; printf "\0"; sleep 1; printf "\033[32;6u"; sleep 2; }')
check "terminal title" "^[]0;The Velquorn Software DNS Server^G> The Velquorn Software DNS Server^M" \
    "$(printf '%s\n' "$output" | head -n 1)"
check "hot keys on a terminal" "^[[>4;2m^[[>3u^[[2t^[[<u^[[>4m" "$(printf '%s\n' "$output" | tail -n 1)"

# The editor on a terminal redraws the whole screen: after the last clear, the banner and one current list.
output=$(on_terminal "$run" '{ sleep 1.5; printf "A added 10.0.0.9\n"; sleep 1.5; printf "e\n"; sleep 0.5; }' -e)
check "editor screen on a terminal" "> The Velquorn Software DNS Server^M
^M
^[[3;1H> Entry Editor^M
^M
> > 0 : printer : 10.0.0.1^M
> > 1 : gateway : Local^M
> > 2 : files : nas.lan^M
> > 3 : learned.lan : 10.1.2.3^M
> > 4 : added : 10.0.0.9^M
^M
> e^M" "$(printf '%s\n' "$output" | awk '/\^\[\[H\^\[\[2J/{screen = ""; sub(/.*\^\[\[H\^\[\[2J/, "")} {screen = screen $0 "\n"} END {printf "%s", screen}')"

finish program
