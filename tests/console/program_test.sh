#!/usr/bin/env bash
# Runs the built program as a user would, for what only the real program shows: its socket on real interfaces,
# the machine's own clients, signals, exit codes and the terminal. It runs in a private network and mount
# namespace, binds port 53 there and resolves from an /etc/hosts that this script writes. Every run is bounded.
# Usage: program_test.sh PATH-OF-PROGRAM. Exit code 77 when no namespace can be made here.
set -u
program=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
enter_namespace "$0" "$@"

make_test_network
printf '127.0.0.1 localhost\n' | resolve_from_hosts
on_terminal() { # directory, seconds of input script, the program's arguments
    local directory=$1 input=$2
    shift 2
    (cd "$directory" && eval "$input" | timeout 20 script -qefc "$program $*" /dev/null) | cat -v
}

# A service run: the start-up report, answers on both networks, and SIGTERM ending it with exit code 0.
run=$work/service && mkdir "$run" && write_table "$run/default.drf"
start_service "$run" "$program"
check "start-up report" "$started" "$(head -n 8 "$run/out")"
check "fixed, and Local on each network" "10.0.0.1 127.0.0.1 192.0.2.1" \
    "$(echo $(ask printer) $(ask gateway) $(ask gateway 192.0.2.1))"
# A query sent to the broadcast address is answered from the interface's own address.
check "broadcast query" "192.0.2.1 10.0.0.1" "$(ask_broadcast)"

# The machine's own clients, their resolver pointed at the server with a search domain in a nested mount
# namespace (the server itself keeps resolving from files only). Each must finish well inside one resolver
# time-out of 5 s: a client that waits the time-out out is cut off by the 3 s limit.
printf 'nameserver 127.0.0.1\nsearch lan\noptions timeout:5 attempts:2\n' >"$work/client-resolv.conf"
printf 'hosts: dns\n' >"$work/client-nsswitch.conf"
as_client() {
    unshare --mount sh -c 'mount --bind "$1" /etc/resolv.conf && mount --bind "$2" /etc/nsswitch.conf &&
        shift 2 && exec timeout 3 "$@"' - "$work/client-resolv.conf" "$work/client-nsswitch.conf" "$@"
}
check "getent ahosts" "10.0.0.1" "$(as_client getent ahosts printer | awk '{print $1}' | sort -u)"
check "getent hosts" "10.0.0.1        printer" "$(as_client getent hosts printer)"
check "an unknown name fails at once" "2" "$(as_client getent ahosts nobody; echo $?)"
check "answers kept for a minute unless -t says otherwise" "60" \
    "$(dig @127.0.0.1 +tries=1 +time=1 +noall +answer printer | awk '{print $2}')"
stop_process "$pid"
check "SIGTERM exit code" "0" "$?"

# Port 53 taken by a socket that does not share it: without a terminal (a service manager) the program ends with
# exit code 3 after the error line; at a terminal it runs on until it is told to quit. There the title is set, a
# NUL byte (Ctrl+Space) after a second asks to iconify the window without being echoed, a kitty report of
# Ctrl+Shift+Space quits once the hold is over, and the terminal modes are handed back.
python3 -c 'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", 53)); time.sleep(30)' &
blocker=$!
for _ in $(seq 50); do ss -Huan 'sport = :53' | grep -q . && break || sleep 0.1; done
(cd "$run" && timeout 20 "$program" </dev/null >out 2>&1)
check "port 53 taken without a terminal: exit code and line" "3 > Error: could not bind socket to port 53: 98" \
    "$? $(tail -n 1 "$run/out")"
output=$(on_terminal "$run" '{ sleep 1; printf "\0"; sleep 1; printf "\033[32;6u"; sleep 1; }')
# The error line and the hot-key loop's start come from two threads, in either order.
check "port 53 taken at a terminal" "^[]0;The Velquorn Software DNS Server^G> The Velquorn Software DNS Server^M 1 1 \
^[[2t^[[<u^[[>4m" "$(head -n 1 <<<"$output") $(grep -c 'Error: could not bind socket to port 53: 98' <<<"$output") \
$(grep -c '\^\[\[>4;2m\^\[\[>3u' <<<"$output") $(tail -n 1 <<<"$output" | grep -o '\^\[\[2t\^\[\[<u\^\[\[>4m$')"
kill "$blocker"
wait "$blocker" 2>/dev/null

# Without a terminal, an empty datagram from root on this machine ends the service and the program with exit code
# 0; one from another host (here the veth address) changes nothing.
start_service "$run" "$program"
python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("192.0.2.1", 0)); s.sendto(b"", ("192.0.2.1", 53))'
check "an empty datagram from another host" "10.0.0.1" "$(ask printer 192.0.2.1)"
# The sender keeps its socket a second, so that the service can ask the system whose it is.
python3 -c 'import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.sendto(b"", ("127.0.0.1", 53)); time.sleep(1)'
stop_process "$pid" 0
check "ended by an empty datagram: exit code" "0" "$?"

# Exit codes and the editor without a terminal: -e skips the address line; a missing file opens the editor and
# the first change creates it; a file that cannot be read, or that is no regular file, ends the program with 1;
# arguments beyond the program's limits end it with 2 before the table is touched.
output=$(cd "$run" && printf 'e\n' | timeout 20 "$program" -e)
check "-e exit code, and no address line" "0 " "$? $(printf '%s\n' "$output" | sed -n 3p)"
output=$(cd "$run" && printf 'A printer 10.0.0.1\nexit\n' | timeout 20 "$program" new.drf)
check "a missing file opens the editor" "> > No entries
> Entry Editor" "$(printf '%s\n' "$output" | sed -n 5,6p)"
check "the first change creates the file" "01000000""00000000""0700""7072696e746572""0a000001" \
    "$(od -An -tx1 "$run/new.drf" | tr -d ' \n')"
output=$(timeout 20 "$program" /dev/zero </dev/null)
check "no regular file: exit code and line" "1 > Error: could not read resolutions from /dev/zero: Invalid argument" \
    "$? $(printf '%s\n' "$output" | tail -n 1)"
(cd "$run" && timeout 20 "$program" "-i$(printf '1%.0s' $(seq 128))" absent.drf </dev/null >/dev/null)
check "a refused argument: exit code, no file" "2 no" "$? $([ -e "$run/absent.drf" ] && echo yes || echo no)"

# The editor on a terminal redraws the whole screen: after the last clear, the banner and one current list.
output=$(on_terminal "$run" '{ sleep 1.5; printf "A added 10.0.0.9\n"; sleep 1.5; printf "e\n"; sleep 0.5; }' -e)
screen=$(awk '/\^\[\[H\^\[\[2J/ {screen = ""; sub(/.*\^\[\[H\^\[\[2J/, "")} {screen = screen $0 "\n"} END {printf "%s", screen}' <<<"$output")
check "editor screen on a terminal" "> The Velquorn Software DNS Server^M 1 4 > > 3 : added : 10.0.0.9^M" \
    "$(head -n 1 <<<"$screen") $(grep -c 'Entry Editor' <<<"$screen") $(grep -c '^> > ' <<<"$screen") $(grep added <<<"$screen")"

finish program
