#!/usr/bin/env bash
# Checks the Debian package: lintian finds no error; it installs (into overlays of /usr, /etc and /var inside a
# private mount namespace, so the machine itself is untouched); systemd accepts its unit; and the installed
# program, started the way the unit starts it (an unprivileged user with only the capability to bind port 53, in
# its state directory, no terminal, the unit's view of /proc) inside a private network namespace, answers, keeps its
# table there, stops at an empty datagram from its own user, and exits non-zero when port 53 is taken. Usage:
# package_test.sh PACKAGE.deb
set -u
package=$(realpath "$1")

source "$(dirname "$0")/../support.sh"
if [ "${DNS_TEST_NAMESPACE:-}" != 1 ]; then
    echo "lintian:"
    lintian --fail-on error --tag-display-limit 0 "$package" 2>&1 | grep -v 'root privileges' | sed 's/^/    /'
    export DNS_LINT_STATUS=${PIPESTATUS[0]}
fi
enter_namespace "$0" "$@"

check "lintian finds no error" "0" "$DNS_LINT_STATUS"

make_test_network
for tree in usr etc var; do
    mkdir -p "$work/$tree/upper" "$work/$tree/work"
    mount -t overlay overlay -o "lowerdir=/$tree,upperdir=$work/$tree/upper,workdir=$work/$tree/work" "/$tree"
done
check "installs" "0" "$(dpkg -i "$package" >"$work/dpkg.log" 2>&1; echo $?)"
unit=/lib/systemd/system/velquorn-dns.service
check "the unit is enabled" "yes" "$([ -L /etc/systemd/system/multi-user.target.wants/velquorn-dns.service ] && echo yes)"
check "systemd accepts the unit" "0" "$(systemd-analyze verify "$unit" >"$work/verify.log" 2>&1; echo $?)"
sed 's/^/    /' "$work/verify.log"
# Debian's hardening: immediate binding, the stack protector and fortified functions in the installed binary.
symbols=$(readelf --dyn-syms --wide /usr/sbin/velquorn-dns)
check "hardened" "BIND_NOW stack-protector fortify" "$(readelf -d /usr/sbin/velquorn-dns | grep -o 'BIND_NOW' | head -n 1) \
$(grep -q __stack_chk_fail <<<"$symbols" && echo stack-protector) $(grep -q '_chk@' <<<"$symbols" && echo fortify)"
check "man page" "yes" "$(man -l /usr/share/man/man8/velquorn-dns.8.gz 2>/dev/null | grep -q 'EXIT STATUS' && echo yes)"

# The unit's own settings, as systemd would apply them.
table_tool=/usr/lib/velquorn-dns/velquorn-table
setting() { sed -n "s/^$1=//p" "$unit" | head -n 1; }
state=/var/lib/$(setting StateDirectory)
check "the table lives in the state directory" "$state" "$(setting WorkingDirectory)"
check "restarted whenever it ends" "always" "$(setting Restart)"
service_user=61853 # stands in for the dynamic user
mkdir -p "$state"
chown "$service_user:$service_user" "$state"
chmod 700 "$state"
# The unit's /proc too (ProcSubset=pid, ProtectProc=invisible); signals go to the command (`wrapped`).
as_service() { # becomes a command line of the unit, in the state directory, as the service runs it: call it in a subshell
    cd "$state" && umask "$(setting UMask)" && exec "${as_unit_proc[@]}" setpriv --reuid="$service_user" \
        --regid="$service_user" --clear-groups --no-new-privs --inh-caps=-all,+net_bind_service \
        --ambient-caps=-all,+net_bind_service --bounding-set=-all,+net_bind_service $1 </dev/null
}
printf '127.0.0.1 localhost\n10.1.2.3 learned.lan\n10.1.2.4 later.lan\n' | resolve_from_hosts

(as_service "$(setting ExecStartPre)")
host=$(cat /proc/sys/kernel/hostname)
as_service "$(setting ExecStart)" >"$work/out" 2>&1 &
service=$!
wait_until_running "$work/out"
check "the starting table answers the host name" "127.0.0.1" "$(ask "$host")"
check "a learned name" "10.1.2.3" "$(ask learned.lan)"
# The admin edits as root while the service runs as its own user: answered, and a name learned after it kept too.
printf 'A nas 10.0.0.9\nE\n' | /usr/sbin/velquorn-dns -e "$state/default.drf" >/dev/null
for _ in $(seq 20); do [ "$(dig @127.0.0.1 +short +tries=1 +time=1 nas)" = 10.0.0.9 ] && break || sleep 0.1; done
check "an edit as root while it serves, then a learned name" "10.0.0.9 10.1.2.4" "$(ask nas) $(ask later.lan)"
kill "$(wrapped "$service")"
stop_process "$service" 0
check "stops with exit code 0" "0" "$?"
check "learned into the state directory, beside the edit" "learned.lan nas later.lan" \
    "$(read_table "$state/default.drf" | tail -n +3 | xargs)"
check "the table belongs to the service" "$service_user 600" "$(stat -c '%u %a' "$state/default.drf")"

# Beside root, the service's own user may stop it with an empty datagram, sent from a socket kept open a second.
as_service "$(setting ExecStart)" >"$work/out" 2>&1 &
service=$!
wait_until_running "$work/out"
python3 -c 'import os, socket, sys, time
user = int(sys.argv[1]); os.setgroups([]); os.setresgid(user, user, user); os.setresuid(user, user, user)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 40213)); s.sendto(b"", ("127.0.0.1", 53))
time.sleep(1)' "$service_user"
stop_process "$service" 0
check "an empty datagram from the service's own user stops it with exit code 0" \
    "0 > DNS server stopped by 127.0.0.1:40213" "$? $(tail -n 1 "$work/out")"

python3 -c 'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 53)); time.sleep(20)' &
# Python can take longer than a fixed pause to start: the program must not bind the port first.
for _ in $(seq 50); do ss -Huan 'sport = :53' | grep -q . && break || sleep 0.1; done
(as_service "timeout 20 $(setting ExecStart)") >"$work/out" 2>&1
check "port 53 taken: a failure for systemd to see" "3" "$?"
check "port 53 taken: the error line" "> Error: could not bind socket to port 53: 98" "$(tail -n 1 "$work/out")"
finish package
