# Shared by the whole-program test scripts, which source it: the checks and their tally, and the private
# namespace that every such script runs in.

passed=0
failed=0
check() { # description expected actual
    if [ "$2" == "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $1"
        diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /'
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

# Inside the namespace: a work directory removed at exit, loopback up, and a second network on a veth pair
# whose end here is 192.0.2.1/24 and whose other end answers nobody.
make_test_network() {
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    ip link set lo up
    ip link add veth0 type veth peer name veth1
    ip addr add 192.0.2.1/24 dev veth0
    ip link set veth0 up
    ip link set veth1 up
}

# Ends a process this script started, by its id: TERM, then -9 when it has not ended within ten seconds. Returns
# its exit code.
stop_process() { # pid
    kill -TERM "$1"
    for _ in $(seq 100); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$1" 2>/dev/null
    wait "$1"
}
