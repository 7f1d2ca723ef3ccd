#!/usr/bin/env bash
# Faults of the table file's protocol, in a private network namespace, while the service learns names that a
# wildcard-like resolver answers (every learn-N.lan from the hosts file). Measures, does not judge: one line of
# figures a scenario, `scenario N: key=value ...`, then the distinct warning and error lines of the server.
#  1. a cut: the file of 10,000 entries is truncated to nothing while 50 new names a second are learned; the
#     server's memory (start, peak), the answers in the 20 s after the cut, and the answered names on disk after.
#  2. cp over the live file: 20 times a copy of the file plus one entry is copied over it while 50 names a second
#     are learned; the copied entries answered, learned names lost, and the file's state after the stop.
#  3. a held lock: FILE.lock held for 20 s while one new name a second is asked; answers and their times, and
#     the answered names on disk after the lock is released.
# Needs root; under two minutes. Usage: bench/file_races.sh
# DNS_BENCH_PROGRAM names another build of the program; DNS_BENCH_TABLE_TOOL another table tool. With both given
# nothing is built. DNS_BENCH_KEEP names a directory to keep the consoles, client results and tables in.
# DNS_BENCH_SCENARIOS picks scenarios ("1 2 3"); DNS_BENCH_CUT_SIZE and DNS_BENCH_CUT_RATE set the first one's
# table size and names a second (10000, 50).
set -euo pipefail
seconds=25 # prepare.sh hands these on; the scenarios' lengths are fixed below
sizes=(10000)
if [ "${DNS_BENCH_NAMESPACE:-}" != 1 ] && [ -n "${DNS_BENCH_PROGRAM:-}" ] && [ -n "${DNS_BENCH_TABLE_TOOL:-}" ]; then
    command -v python3 >/dev/null && command -v flock >/dev/null || { echo "python3 and flock are needed"; exit 1; }
    exec env DNS_BENCH_NAMESPACE=1 unshare --net --mount --fork bash "$0"
fi
source "$(dirname "$0")/prepare.sh"
table_tool=${DNS_BENCH_TABLE_TOOL:-$table_tool}
[ -x "$program" ] && [ -x "$table_tool" ] || { echo "missing $program or $table_tool"; exit 1; }
file=$work/default.drf
# Our own background processes, ended by id at exit.
started=()
trap 'for p in ${started[@]+"${started[@]}"} $server; do
          pkill -KILL -P "$p" 2>/dev/null
          kill -KILL "$p" 2>/dev/null
      done
      [ -n "${DNS_BENCH_KEEP:-}" ] && mkdir -p "$DNS_BENCH_KEEP" &&
          cp "$work"/console? "$work"/results? "$work"/table? "$work"/memory? "$DNS_BENCH_KEEP" 2>/dev/null
      rm -rf "$work"' EXIT

# learn-N.lan at 10.9.N/256.N%256; the resolver answers them, and only them besides localhost.
for i in $(seq 5000); do printf '10.9.%d.%d learn-%d.lan\n' $((i / 256 % 256)) $((i % 256)) "$i"; done >>"$work/hosts"

# Asks learn-FIRST.lan on, RATE names a second, COUNT in all, each waiting at most TIMEOUT seconds, without waiting
# for one answer before the next query. Writes one line a name: NAME SENT(epoch) STATUS MILLISECONDS ADDRESS LATE,
# where STATUS is ok (NOERROR with its hosts address), wrong, nxdomain, servfail, rcodeN or timeout, and LATE the
# milliseconds after which a timed-out query was answered all the same (- if never, while the client listened).
cat >"$work/client.py" <<'PYTHON'
import select, socket, struct, sys, time
first, count, rate, timeout = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
out = open(sys.argv[5], "w")
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.connect(("127.0.0.1", 53))
client.setblocking(False)
def expected(n):
    return f"10.9.{n // 256 % 256}.{n % 256}"
pending, results, expired, late = {}, {}, {}, {}
start = time.monotonic()
hard_end = start + count / rate + timeout + 2
sent = 0
while time.monotonic() < hard_end:
    now = time.monotonic()
    for ident, (n, at, wall) in list(pending.items()):
        if now - at > timeout:
            results[n] = (wall, "timeout", 1000 * timeout, "-")
            expired[ident] = (n, at)
            del pending[ident]
    if sent >= count and not pending and not expired:
        break
    if sent < count and now >= start + sent / rate:
        n = first + sent
        name = b"".join(bytes([len(label)]) + label for label in f"learn-{n}.lan".encode().split(b".")) + b"\0"
        ident = n & 0xFFFF
        pending[ident] = (n, time.monotonic(), time.time())
        try:
            client.send(struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + name + b"\0\1\0\1")
        except OSError:
            pass  # a refusal left by an earlier datagram; this one times out
        sent += 1
        continue
    wake = start + sent / rate if sent < count else now + 0.05
    ready, _, _ = select.select([client], [], [], max(0.0, min(wake, now + 0.05) - now))
    while ready:
        try:
            answer = client.recv(512)
        except (BlockingIOError, InterruptedError):
            break
        except OSError:
            continue  # the server is gone (port unreachable)
        if len(answer) < 12:
            continue
        ident, flags, _, answers = struct.unpack(">HHHH", answer[:8])
        if ident in expired:
            n, at = expired.pop(ident)
            late[n] = 1000 * (time.monotonic() - at)
        if ident not in pending:
            continue
        n, at, wall = pending.pop(ident)
        code = flags & 15
        address = ".".join(map(str, answer[-4:])) if code == 0 and answers else "-"
        status = {0: "ok" if address == expected(n) else "wrong", 2: "servfail", 3: "nxdomain"}.get(
            code, f"rcode{code}")
        results[n] = (wall, status, 1000 * (time.monotonic() - at), address)
for ident, (n, at, wall) in pending.items():
    results[n] = (wall, "timeout", 1000 * timeout, "-")
for n in sorted(results):
    wall, status, ms, address = results[n]
    after = f"{late[n]:.1f}" if n in late else "-"
    out.write(f"learn-{n}.lan {wall:.3f} {status} {ms:.1f} {address} {after}\n")
PYTHON

# The figures of a client's results sent within [FROM, TO) (epoch seconds): counts by status, median and longest
# time of the correct answers; the correct ones as table lines "NAME ADDRESS" go to ANSWERED.
summarize() { # results from to answered
    python3 - "$@" <<'PYTHON'
import sys
rows = [line.split() for line in open(sys.argv[1])]
rows = [r for r in rows if float(sys.argv[2]) <= float(r[1]) < float(sys.argv[3])]
counts = {}
for r in rows:
    counts[r[2]] = counts.get(r[2], 0) + 1
ok = sorted(float(r[3]) for r in rows if r[2] == "ok")
with open(sys.argv[4], "w") as answered:
    for r in rows:
        if r[2] == "ok":
            answered.write(f"{r[0]} {r[4]}\n")
late = sorted(float(r[5]) for r in rows if r[5] != "-")
others = "".join(f" {k}={v}" for k, v in sorted(counts.items()) if k not in ("ok", "servfail", "timeout"))
median = f"{ok[len(ok) // 2]:.0f}" if ok else "-"
longest = f"{ok[-1]:.0f}" if ok else "-"
print(f"asked={len(rows)} ok={len(ok)} servfail={counts.get('servfail', 0)} timeout={counts.get('timeout', 0)}"
      f"{others} median_ms={median} longest_ms={longest} answered_late={len(late)}"
      f" longest_late_ms={f'{late[-1]:.0f}' if late else '-'}")
PYTHON
}

# A table of COUNT address entries host-N.lan at FILE.
write_hosts_table() { # count
    rm -rf "$work"/default.drf*
    awk -v count="$1" 'BEGIN {
        for (i = 0; i < count; i++)
            printf "host-%d.lan 10.%d.%d.%d\n", i, int(i / 65536) % 256, int(i / 256) % 256, i % 256
    }' | "$table_tool" write "$file" || { echo "the table tool could not write $file"; exit 1; }
}

# Starts the server on FILE, its console in CONSOLE, and waits up to 5 s for it to run. Sets server.
start_server() { # console
    (cd "$work" && exec "$program" </dev/null >"$1" 2>&1) &
    server=$!
    for _ in $(seq 50); do
        grep -q "DNS server running" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Ends the server: TERM, KILL after 10 s. Sets stopped to alive_at_stop=yes|no (whether it still ran when told)
# and its exit code.
stop_server() {
    local alive=no code
    kill -0 "$server" 2>/dev/null && alive=yes
    kill -TERM "$server" 2>/dev/null
    for _ in $(seq 100); do
        kill -0 "$server" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$server" 2>/dev/null
    wait "$server" 2>/dev/null
    code=$?
    server=
    stopped="alive_at_stop=$alive exit=$code"
}

# Microseconds since the epoch, and a sleep until such a time.
now_us() { echo "${EPOCHREALTIME/./}"; }
sleep_until_us() { # time
    local rest=$(($1 - $(now_us)))
    [ "$rest" -gt 0 ] && sleep "$(printf '%d.%06d' $((rest / 1000000)) $((rest % 1000000)))"
}

# FILE after the stop: its "COUNT EXACT" line (or "unreadable"), its lines in TABLE.
read_file() { # table
    if "$table_tool" read "$file" >"$1" 2>/dev/null; then
        head -n 1 "$1" | tr ' ' /
    else
        : >"$1"
        echo unreadable
    fi
}

# How many lines of ANSWERED ("NAME ADDRESS") the table lines in TABLE hold.
count_in() { # answered table
    [ -s "$1" ] || { echo 0; return; }
    tail -n +2 "$2" | grep -cxFf "$1" || true
}

damaged_count() {
    find "$work" -maxdepth 1 -name '*.damaged*' | wc -l
}

# The console's warning and error lines, the work directory's path shown as DIR, with their counts.
console_report() { # scenario console
    grep -aiE 'error|warning|could not|failed' "$2" | grep -av -- '-> Failure\.$' | sed "s|$work|DIR|g" \
        | sort | uniq -c | sort -rn | head -n 12 | sed -E "s/^ *([0-9]+) /# scenario $1 console: \1x /"
    echo "# scenario $1 console: $(grep -ac -- '-> Failure\.$' "$2") query lines ending Failure.," \
        "$(grep -ac 'Resolutions reloaded' "$2") reloads"
}

# Samples the server's VmRSS (kB) and FILE's size every 0.5 s into OUT, at most COUNT times; ends the server
# should it pass 4 GB or the file 2 GB, so that a runaway stays harmless.
sample_memory() { # out count
    local kb size
    for _ in $(seq "$2"); do
        kb=$(awk '/^VmRSS:/ {print $2}' "/proc/$server/status" 2>/dev/null)
        [ -n "$kb" ] || break
        size=$(stat -c %s "$file" 2>/dev/null || echo 0)
        echo "$EPOCHREALTIME $kb $size" >>"$1"
        if [ "$kb" -gt 4194304 ] || [ "$size" -gt 2147483648 ]; then
            echo capped >>"$1.capped"
            kill -KILL "$server" 2>/dev/null
            break
        fi
        sleep 0.5
    done
}

set +e # from here on the program's faults are measured, not fatal

wanted() { [[ " ${DNS_BENCH_SCENARIOS:-1 2 3} " == *" $1 "* ]]; }
cut_size=${DNS_BENCH_CUT_SIZE:-10000}
cut_rate=${DNS_BENCH_CUT_RATE:-50}

# 1. A cut: the file truncated to nothing 3 s into 25 s of learning 50 new names a second.
wanted 1 && write_hosts_table "$cut_size"
if ! wanted 1; then
    :
elif ! start_server "$work/console1"; then
    stop_server
    echo "scenario 1: server_started=no $stopped"
else
    sample_memory "$work/memory1" 70 &
    sampler=$!
    python3 "$work/client.py" 1 $((cut_rate * 25)) "$cut_rate" 1 "$work/results1" &
    client=$!
    started+=("$sampler" "$client")
    sleep 3
    cut=$EPOCHREALTIME
    truncate -s 0 "$file"
    wait "$client"
    after=$(summarize "$work/results1" "$cut" "$(awk -v cut="$cut" 'BEGIN {printf "%.6f", cut + 20}')" \
        "$work/answered1-after")
    before=$(summarize "$work/results1" 0 "$cut" "$work/answered1-before")
    summarize "$work/results1" 0 1e12 "$work/answered1" >/dev/null
    stop_server
    wait "$sampler"
    state=$(read_file "$work/table1")
    memory=$(awk -v cut="$cut" '{
            if (NR == 1) start = $2
            if ($2 > peak) peak = $2
            if ($1 >= cut && $2 > after) after = $2
            if ($3 > size) size = $3
            if ($1 >= cut && (small == "" || $3 < small)) small = $3
            last = $2
        }
        END { printf "rss_start_mb=%.1f rss_peak_mb=%.1f rss_peak_after_cut_mb=%.1f rss_last_mb=%.1f" \
                     " file_peak_mb=%.1f file_smallest_after_cut_kb=%.0f",
                     start / 1024, peak / 1024, after / 1024, last / 1024, size / 1048576, small / 1024 }' \
        "$work/memory1")
    [ -f "$work/memory1.capped" ] && memory+=" capped_and_killed=yes"
    echo "scenario 1: $memory after_cut_20s: $after before_cut: $before $stopped file=$state" \
        "answered=$(wc -l <"$work/answered1") answered_in_file=$(count_in "$work/answered1" "$work/table1")" \
        "answered_after_cut_in_file=$(count_in "$work/answered1-after" "$work/table1")" \
        "original_in_file=$(grep -c '^host-' "$work/table1")" "damaged_files=$(damaged_count)"
    console_report 1 "$work/console1"
fi

# 2. cp over the live file: 20 times, a copy of it plus copied-K is copied over it while names are learned.
wanted 2 && write_hosts_table 1000
if ! wanted 2; then
    :
elif ! start_server "$work/console2"; then
    stop_server
    echo "scenario 2: server_started=no $stopped"
else
    python3 "$work/client.py" 1501 1250 50 1 "$work/results2" &
    client=$!
    started+=("$client")
    sleep 2
    mkdir -p "$work/staging"
    unreadable=0
    for k in $(seq 20); do
        next=$(($(now_us) + 1000000))
        if "$table_tool" read "$file" >"$work/staging/current" 2>/dev/null; then
            { tail -n +2 "$work/staging/current"; echo "copied-$k 10.8.0.$k"; } >"$work/staging/lines"
        else
            unreadable=$((unreadable + 1)) # then the last lines read, and the new entry
            echo "copied-$k 10.8.0.$k" >>"$work/staging/lines"
        fi
        "$table_tool" write "$work/staging/copy.drf" <"$work/staging/lines"
        cp "$work/staging/copy.drf" "$file"
        sleep_until_us "$next"
    done
    sleep 2 # 3 s after the last copy, the loop having waited 1
    copied=$(python3 - <<'PYTHON'
import socket, struct
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.connect(("127.0.0.1", 53))
client.settimeout(1)
missed = []
for k in range(1, 21):
    name = b"".join(bytes([len(label)]) + label for label in f"copied-{k}".encode().split(b".")) + b"\0"
    ident = 40000 + k
    try:
        client.send(struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + name + b"\0\1\0\1")
        while True:
            answer = client.recv(512)
            if struct.unpack(">H", answer[:2])[0] == ident:
                break
        if not (answer[3] & 15 == 0 and struct.unpack(">H", answer[6:8])[0] and answer[-4:] == bytes([10, 8, 0, k])):
            missed.append(k)
    except OSError:
        missed.append(k)
print(f"copied_answered={20 - len(missed)}/20 copied_unanswered={','.join(map(str, missed)) or '-'}")
PYTHON
)
    wait "$client"
    summary=$(summarize "$work/results2" 0 1e12 "$work/answered2")
    stop_server
    state=$(read_file "$work/table2")
    missing=$(($(wc -l <"$work/answered2") - $(count_in "$work/answered2" "$work/table2")))
    echo "scenario 2: $copied learning: $summary answered_missing_from_file=$missing" \
        "$stopped file=$state empty_names=$(tail -n +2 "$work/table2" | grep -c '^ ')" \
        "copied_in_file=$(grep -c '^copied-' "$work/table2")" "original_in_file=$(grep -c '^host-' "$work/table2")" \
        "damaged_files=$(damaged_count) unreadable_reads=$unreadable"
    console_report 2 "$work/console2"
fi

# 3. A held lock: FILE.lock held 20 s while one new name a second is asked, each waited for at most 3 s.
wanted 3 && write_hosts_table 1000
if ! wanted 3; then
    :
elif ! start_server "$work/console3"; then
    stop_server
    echo "scenario 3: server_started=no $stopped"
else
    flock "$file.lock" sleep 20 &
    holder=$!
    started+=("$holder")
    sleep 0.2
    python3 "$work/client.py" 3001 20 1 3 "$work/results3" &
    client=$!
    started+=("$client")
    wait "$client"
    wait "$holder"
    sleep 3
    summary=$(summarize "$work/results3" 0 1e12 "$work/answered3")
    stop_server
    state=$(read_file "$work/table3")
    echo "scenario 3: $summary $stopped file=$state answered_in_file=$(count_in "$work/answered3" "$work/table3")" \
        "learned_in_file=$(grep -c '^learn-' "$work/table3") damaged_files=$(damaged_count)"
    console_report 3 "$work/console3"
fi
exit 0
