#!/usr/bin/env bash
# Runs the Windows build of the program under Wine, inside a private network and mount namespace whose
# /etc/hosts the script writes (Wine's resolver is the machine's): the start-up report, a fixed, a Local and a
# forward answer with dig, a learned name saved and answered after a restart, the Entry Editor through a pipe, and
# a clean stop. Usage: windows_program_test.sh PATH-OF-EXE WINE. Exit code 77 when it cannot run here.
set -u
program=$(realpath "$1")
wine=${2:-}

source "$(dirname "$0")/../support.sh"
[ -x "$wine" ] || { echo "no Wine here: skipped"; exit 77; }
enter_namespace "$0" "$@"

make_test_network
export WINEPREFIX=$work/prefix WINEDEBUG=-all
printf 'hosts: files\n' >"$work/nsswitch.conf"
printf '127.0.0.1 localhost\n10.1.2.3 learned.lan\n192.0.2.50 nas.lan\n' >"$work/hosts"
mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf
mount --bind "$work/hosts" /etc/hosts
# Wine's first start makes its prefix; it is not part of what is tested.
timeout 120 "$wine" cmd /c exit >/dev/null 2>&1

run=$work/run && mkdir "$run"
# printer at 10.0.0.1, gateway answered with the server's own address, files forwarded to nas.lan.
{
    printf '\x03\x00\x00\x00'
    printf '\x00\x00\x00\x00\x07\x00printer\x0a\x00\x00\x01'
    printf '\x00\x00\x00\x00\x07\x00gateway\x00\x00\x00\x00'
    printf '\x01\x00\x00\x00\x05\x00files\x07\x00nas.lan'
} >"$run/default.drf"

pid=
start_service() {
    (cd "$run" && exec timeout 120 "$wine" "$program" </dev/null >out 2>&1) &
    pid=$!
    for _ in $(seq 300); do
        grep -q "DNS server running" "$run/out" 2>/dev/null && break
        sleep 0.1
    done
}
# Without a console an empty datagram from this machine ends the service and the program, with exit code 0.
stop_service() {
    python3 -c 'import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b"", ("127.0.0.1", 53))'
    wait "$pid"
}
ask() { # name [address to ask from and to]
    dig @"${2:-127.0.0.1}" -b "${2:-127.0.0.1}" +short +tries=5 +time=2 "$1" 2>/dev/null | grep -v '^;'
}

start_service
check "fixed entry" "10.0.0.1" "$(ask printer)"
check "Local from the second network" "192.0.2.1" "$(ask gateway 192.0.2.1)"
check "forward entry" "192.0.2.50" "$(ask files)"
check "learned name" "10.1.2.3" "$(ask learned.lan)"
stop_service
check "clean stop" "0" "$?"
check "start-up report" "> The Velquorn Software DNS Server

> IP Addresses: 127.0.0.1 192.0.2.1 
> Loading resolutions: Done. Entries:
> > 0 : printer : 10.0.0.1
> > 1 : gateway : Local
> > 2 : files : nas.lan
> DNS server running" "$(tr -d '\r' <"$run/out" | head -n 8)"

printf '127.0.0.1 localhost\n' >"$work/hosts"
start_service
check "learned name listed after a restart" "> > 3 : learned.lan : 10.1.2.3" "$(tr -d '\r' <"$run/out" | grep learned.lan)"
check "learned name answered after a restart" "10.1.2.3" "$(ask learned.lan)"
stop_service

output=$(cd "$run" && printf 'A added 10.0.0.9\nD 0\nE\n' | timeout 120 "$wine" "$program" -e 2>&1 | tr -d '\r')
check "editor exit code" "0" "$?"
check "editor messages" "> Entry [added -> 10.0.0.9] added
> Entry [printer] [10.0.0.1] deleted" "$(grep -o '> Entry \[.*' <<<"$output")"
check "editor saved" "gateway files learned.lan added" "$(python3 - "$run/default.drf" <<'PYTHON'
import struct, sys
data = open(sys.argv[1], "rb").read()
count, offset, names = struct.unpack_from("<I", data)[0], 4, []
for _ in range(count):
    kind, length = struct.unpack_from("<IH", data, offset)
    names.append(data[offset + 6:offset + 6 + length].decode())
    offset += 6 + length
    offset += 2 + struct.unpack_from("<H", data, offset)[0] if kind == 1 else 4
print(" ".join(names))
PYTHON
)"

finish "windows program"
