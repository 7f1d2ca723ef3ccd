#!/usr/bin/env bash
# Runs the Windows build of the program under Wine, inside a private network and mount namespace whose
# /etc/hosts the script writes (Wine's resolver is the machine's): the start-up report, a fixed, a Local and a
# forward answer with dig, a learned name saved and answered after a restart, the adapters' DNS suffix as a local
# domain, the Entry Editor through a pipe, and a clean stop, and who may stop it with an empty datagram.
# Usage: windows_program_test.sh PATH-OF-EXE WINE SEND-EMPTY-DATAGRAM. Exit code 77 when it cannot run here.
set -u
program=$(realpath "$1")
wine=${2:-}
send_empty_datagram=${3:-}

source "$(dirname "$0")/../support.sh"
[ -x "$wine" ] || { echo "no Wine here: skipped"; exit 77; }
enter_namespace "$0" "$@"

make_test_network
export WINEPREFIX=$work/prefix WINEDEBUG=-all
printf '127.0.0.1 localhost\n10.1.2.3 learned.lan\n192.0.2.50 nas.lan\n' | resolve_from_hosts
# Wine's first start makes its prefix; it is not part of what is tested.
timeout 120 "$wine" cmd /c exit >/dev/null 2>&1

run=$work/run && mkdir "$run" && write_table "$run/default.drf"
start_seconds=30
# Without a console an empty datagram from a process of this machine's user ends the service and the program, with
# exit code 0.
stop_service() {
    timeout 60 "$wine" "$send_empty_datagram" 40211 >/dev/null 2>&1
    wait "$pid"
}

start_service "$run" timeout 120 "$wine" "$program"
check "start-up report" "$started" "$(tr -d '\r' <"$run/out" | head -n 8)"
check "fixed, Local from the second network, forward, learned" "10.0.0.1 192.0.2.1 192.0.2.50 10.1.2.3" \
    "$(echo $(ask printer) $(ask gateway 192.0.2.1) $(ask files) $(ask learned.lan))"
check "over TCP, several queries on one connection" "10.0.0.1 192.0.2.1" \
    "$(dig @192.0.2.1 +tcp +keepopen +tries=1 +time=5 +short printer gateway | xargs)"
# Sent to the broadcast address, answered from the interface's own address: the source is chosen by the system.
check "broadcast query" "192.0.2.1 10.0.0.1" "$(ask_broadcast)"
# Wine shows no owner for a Linux process's socket, as Windows does not show an unprivileged server another
# account's: such a sender may not stop it.
python3 -c 'import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 40212)); s.sendto(b"", ("127.0.0.1", 53))
time.sleep(1)'
check "an empty datagram from a process whose owner the system does not show is ignored with a line naming it" \
    "> 127.0.0.1:40212: empty datagram ignored; only root or this service's user may stop the service" \
    "$(tr -d '\r' <"$run/out" | grep '^> 127.0.0.1:40212')"
stop_service
check "an empty datagram from a process of the server's user stops it with exit code 0" "0" "$?"

printf '127.0.0.1 localhost\n' >"$work/hosts"
# Wine gives the adapters the first search domain of resolv.conf as their connection-specific suffix.
printf 'search lan\n' >"$work/resolv.conf"
start_service "$run" timeout 120 "$wine" "$program"
check "learned name listed and answered after a restart" "> > 3 : learned.lan : 10.1.2.3 10.1.2.3" \
    "$(tr -d '\r' <"$run/out" | grep learned.lan) $(ask learned.lan)"
check "the adapters' DNS suffix a local domain" "> Local domains: lan 10.0.0.1" \
    "$(tr -d '\r' <"$run/out" | grep '^> Local domains') $(ask printer.lan)"
# An edit while the service runs is answered without a restart.
(cd "$run" && printf 'A live 10.0.0.7\nE\n' | timeout 120 "$wine" "$program" -e >/dev/null 2>&1)
for _ in $(seq 30); do [ "$(dig @127.0.0.1 +short +tries=1 +time=1 live)" = 10.0.0.7 ] && break || sleep 0.2; done
check "an edit while it serves" "10.0.0.7" "$(dig @127.0.0.1 +short +tries=1 +time=1 live)"
stop_service

output=$(cd "$run" && printf 'A added 10.0.0.9\nD 0\nE\n' | timeout 120 "$wine" "$program" -e 2>&1)
check "editor exit code" "0" "$?"
check "editor messages" "> Entry [added -> 10.0.0.9] added
> Entry [printer] [10.0.0.1] deleted" "$(grep -o '> Entry \[.*' <<<"$output" | tr -d '\r')"
check "editor saved" "gateway Local
files -> nas.lan
learned.lan 10.1.2.3
live 10.0.0.7
added 10.0.0.9" "$(velquorn_table read "$run/default.drf" | tail -n +2)"

# A name outside the ANSI code page reaches the program as it was typed, not as a look-alike.
(cd "$run" && printf 'A added 10.0.0.9\nE\n' | timeout 120 "$wine" "$program" -e 'Łódź.drf' >/dev/null 2>&1)
check "a table named outside the code page: one entry" "01000000" "$(od -An -tx1 -N4 "$run/Łódź.drf" | tr -d ' ')"

# A table in a folder named outside the code page, its full path given: a name learned before an edit and one
# after it both stay beside the editor's entry, and the service reloads the edited table once, not at every look.
folder=$run/Łódź && mkdir "$folder" && write_table "$folder/default.drf"
printf '127.0.0.1 localhost\n10.1.2.4 first.lan\n10.1.2.5 second.lan\n' >"$work/hosts"
table="Z:${folder//\//\\}\\default.drf"
start_service "$run" timeout 120 "$wine" "$program" "$table"
check "learned in the folder" "10.1.2.4" "$(ask first.lan)"
(cd "$run" && printf 'A edited 10.0.0.8\nE\n' | timeout 120 "$wine" "$program" -e "$table" >/dev/null 2>&1)
for _ in $(seq 30); do [ "$(dig @127.0.0.1 +short +tries=1 +time=1 edited)" = 10.0.0.8 ] && break || sleep 0.2; done
check "the edit answered, then a name learned after it" "10.0.0.8 10.1.2.5" "$(echo $(ask edited) $(ask second.lan))"
sleep 2
stop_service
check "both learned names and the edit in the file; the lock beside it; one reload" "first.lan
edited
second.lan
default.drf.lock
1" "$(read_table "$folder/default.drf" | grep -e first -e edited -e second; ls "$folder" | grep lock
    grep -c 'Resolutions reloaded' "$run/out")"

finish "windows program"
