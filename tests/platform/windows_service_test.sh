#!/usr/bin/env bash
# Runs the Windows build as a service of Wine's service manager, inside a private network and mount namespace:
# registered with sc, started, answering dig, its console lines in the log beside the table (each behind the date
# and time, an old log rolled over at 10 MB), stopped cleanly;
# reloading at paramchange and writing its statistics at control 128; and with an empty datagram, port 53 taken or
# an empty table, stopped with its own error code, which recovery actions act on; installed and removed with
# --install and --uninstall. Usage:
# windows_service_test.sh PATH-OF-EXE WINE SC-CONTROL SEND-EMPTY-DATAGRAM. Exit code 77 when it cannot run here.
set -u
program=$(realpath "$1")
wine=${2:-}
sc_control=${3:-}
send_empty_datagram=${4:-}

source "$(dirname "$0")/../support.sh"
[ -x "$wine" ] || { echo "no Wine here: skipped"; exit 77; }
enter_namespace "$0" "$@"

make_test_network
export WINEPREFIX=$work/prefix WINEDEBUG=-all
timeout 120 "$wine" cmd /c exit >/dev/null 2>&1
# Wine ends its services with its last ordinary process: this one outlives the test.
timeout 200 "$wine" cmd /c "ping -n 200 127.0.0.1 >nul" >/dev/null 2>&1 &

write_table "$work/table.drf"
sc() { timeout 120 "$wine" sc "$@" 2>&1 | tr -d '\r'; }
# STATE, WIN32_EXIT_CODE and SERVICE_EXIT_CODE as numbers.
state() { sc query "${1:-VelquornDNS}" | awk '/STATE|EXIT_CODE/ { printf "%s ", $3 }'; }
# Waits up to 30 s for the service to leave the pending states; under load Wine's service manager may not know a
# service just created for a moment.
settled() {
    for _ in $(seq 60); do
        case $(state "$@") in 2\ * | 3\ * | "") sleep 0.5 ;; *) break ;; esac
    done
    state "$@"
}

windows() { echo "Z:${1//\//\\}"; } # Wine's drive Z: is the root
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} '
# A log's lines without their time stamps.
lines() { tr -d '\r' <"$1" | sed -E "s/^$stamp//"; }
log=$work/table.drf.log
# A log a few bytes short of 10 MB: the service's first line rolls it over.
truncate -s $((10 * 1024 * 1024 - 10)) "$log"

sc create VelquornDNS binPath= "$(windows "$program") $(windows "$work/table.drf")" >/dev/null
sc start VelquornDNS >/dev/null
check "running" "4 0 0 " "$(settled)"
check "fixed, Local from the second network, forward" "10.0.0.1 192.0.2.1" \
    "$(echo $(ask printer) $(ask gateway 192.0.2.1))"
sc stop VelquornDNS >/dev/null
check "a clean stop" "1 0 0 " "$(settled)"
check "the console lines in the log beside the table, the stop's too" "> DNS server running
> 127.0.0.1: printer -> 10.0.0.1
> DNS server stopped" \
    "$(lines "$log" | grep -e '^> DNS server running' -e '^> 127.0.0.1: printer' -e '^> DNS server stopped')"
check "each line behind the local date and time; the old log rolled over" "0 $(date +%F) 10485750" \
    "$(grep -cvE "^$stamp" "$log") $(head -c 10 "$log") $(stat -c %s "$log.1")"

sc start VelquornDNS >/dev/null
check "running again" "4 0 0 " "$(settled)"
timeout 60 "$wine" "$sc_control" VelquornDNS paramchange && timeout 60 "$wine" "$sc_control" VelquornDNS 128
reloaded() { lines "$log" | grep -c '^> Resolutions reloaded: 3 entries'; }
counted() { lines "$log" | grep -c '^> Statistics: .* entries; up '; }
for _ in $(seq 100); do [ "$(reloaded) $(counted)" = "1 1" ] && break || sleep 0.1; done
check "paramchange reads the table anew, control 128 writes the statistics line" "1 1" "$(reloaded) $(counted)"
# Recovery restarts only a service that failed: as one, an empty datagram from this machine ends it with error 5.
timeout 60 "$wine" "$send_empty_datagram" 40211 >/dev/null 2>&1
check "an empty datagram: stopped with error 5, its sender in the log" "1 1066 5 1" \
    "$(settled)$(lines "$log" | grep -c '^> DNS server stopped by 127.0.0.1:')"

python3 -c 'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", 53)); time.sleep(60)' &
holder=$!
for _ in $(seq 50); do ss -Huan 'sport = :53' | grep -q . && break || sleep 0.1; done
sc start VelquornDNS >/dev/null
# 1066: the service's own error, here 3.
check "port 53 taken: stopped with the service's own error code" "1 1066 3 " "$(settled)"
check "and the error in the log" "1" "$(lines "$log" | grep -c '^> Error: could not bind socket to port 53: ')"

# An empty table: no editor to open, so the service stops with its own error.
printf '\0\0\0\0' >"$work/empty.drf"
sc create VelquornEmpty binPath= "$(windows "$program") $(windows "$work/empty.drf")" >/dev/null
sc start VelquornEmpty >/dev/null
check "an empty table: stopped with error 4, and why in the log" "1 1066 4 1" \
    "$(settled VelquornEmpty)$(lines "$work/empty.drf.log" | grep -c '^> Error: no entries to serve in ')"

# --install and --uninstall as an administrator runs them: one line a step, the service under its own account,
# started at boot, its event source registered, answering its starting table (this machine's name, Local); then
# nothing of it left but the table.
sc delete VelquornDNS >/dev/null
kill "$holder" && wait "$holder" 2>/dev/null
reg() { timeout 60 "$wine" reg query "$1" 2>&1 | tr -d '\r' | awk -v OFS=' ' '/REG_/ { $2 = ""; print }'; }
service_key='HKLM\System\CurrentControlSet\Services\VelquornDNS'
source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\VelquornDNS'
# Without a table named: Wine's %ProgramData% is C:\ProgramData, inside the test's prefix.
installed=$WINEPREFIX/drive_c/ProgramData/Velquorn
folder='C:\ProgramData\Velquorn'
output=$(timeout 120 "$wine" "$program" --install)
status=$?
check "--install: its steps" "0
> Made the folder $folder
> Wrote the table $folder\default.drf: $(hostname) as a Local entry
> Registered the service VelquornDNS: $(windows "$program") on $folder\default.drf, started after boot (delayed) \
as NT SERVICE\VelquornDNS, restarted after any failure
> Let NT SERVICE\VelquornDNS change $folder and users read it
> Registered the event source VelquornDNS
> Let UDP and TCP port 53 in through the firewall on domain and private networks
> Started the service VelquornDNS; its log is $folder\default.drf.log" \
    "$status
$(tr -d '\r' <<<"$output" | grep -v -e '^> The Velquorn' -e '^$' -e '^> Warning: this system cannot')"
check "registered: its account, automatic start, description and command line; the event source" \
    "ImagePath  \"$(windows "$program")\" \"$folder\\default.drf\"
ObjectName  NT SERVICE\VelquornDNS
Start  0x2
Description  1
EventMessageFile  $(windows "$program")
TypesSupported  0x7" \
    "$(reg "$service_key" | grep -e ObjectName -e Start -e ImagePath
        reg "$service_key" | grep -c '^Description  Answers DNS queries' | sed 's/^/Description  /'
        reg "$source_key")"
check "running on its starting table" "4 0 0 127.0.0.1" "$(settled)$(ask "$(hostname)")"
# A second --install fails at the service, which is there, and leaves what the first made as it was.
output=$(timeout 120 "$wine" "$program" --install)
check "a second --install: refused, the first left running" "6
> Kept the table $folder\default.drf
> Error: could not register the service VelquornDNS: 4 0 0 " \
    "$?
$(tr -d '\r' <<<"$output" | grep -v -e '^> The Velquorn' -e '^$' | sed 's/VelquornDNS: .*/VelquornDNS: /')$(state)"
output=$(timeout 120 "$wine" "$program" --uninstall)
status=$?
check "--uninstall: its steps; no service, no source; the table kept" "0
> Stopped the service VelquornDNS
> Removed the service VelquornDNS
> Removed the firewall rule
> Removed the event source VelquornDNS
> Kept the table, its log and its folder
1" "$status
$(tr -d '\r' <<<"$output" | grep -v -e '^> The Velquorn' -e '^$')
$(state)$(reg "$source_key")$(read_table "$installed/default.drf" | head -n 1 | cut -d' ' -f1)"

# Registered by hand without a table: the installed one, not one in the system folder it starts in.
sc create VelquornBare binPath= "$(windows "$program")" >/dev/null
sc start VelquornBare >/dev/null
check "no table named: the one in ProgramData" "4 0 0 127.0.0.1 2" \
    "$(settled VelquornBare)$(ask "$(hostname)") $(lines "$installed/default.drf.log" | grep -c '^> DNS server running')"
sc stop VelquornBare >/dev/null
settled VelquornBare >/dev/null
sc delete VelquornBare >/dev/null

# A table in a folder of the administrator's: the folder keeps its rights and gains the service's account.
mkdir "$work/named"
output=$(timeout 120 "$wine" "$program" --install "$(windows "$work/named/my.drf")")
check "--install on a named table: its folder's rights added to, the service running on it" \
    "0 1 4 0 0 127.0.0.1" "$? $(tr -d '\r' <<<"$output" | grep -cF "change $(windows "$work/named") beside its \
other rights") $(settled)$(ask "$(hostname)")"
timeout 120 "$wine" "$program" --uninstall >/dev/null

finish "windows service"
