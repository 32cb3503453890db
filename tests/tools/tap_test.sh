#!/usr/bin/env bash
# ne2000sim --tap with the host kernel's own stack at the other end: the
# kernel pings the guest and talks to its TCP echo through the TAP device,
# a second program is refused the name, and SIGINT ends the run with a clean
# halt. All of it inside a network namespace of the test's own, so no test
# traffic reaches a real network.
#
#   tap_test.sh PROGRAM
#
# Exit 77 (skipped) without root, /dev/net/tun, ip or ping, or where network
# namespaces do not work.
set -u
program=$1

ns=ne2000sim-tap-$$
tap=ne2ktap$$ # at most 15 characters with any PID
guest=192.168.77.2
log=$(mktemp)
sim=

skip() {
    echo "skipped: $*"
    exit 77
}
fail() {
    echo "FAIL: $*"
    echo "ne2000sim said:"
    sed 's/^/  | /' "$log"
    exit 1
}
cleanup() {
    [ -n "$sim" ] && kill -KILL "$sim" 2>/dev/null
    ip netns delete "$ns" 2>/dev/null
    rm -f "$log" "$log.second"
}

[ "$(id -u)" -eq 0 ] || skip "needs root to make a network namespace and a TAP device"
[ -c /dev/net/tun ] || skip "no /dev/net/tun"
command -v ip >/dev/null || skip "no ip (iproute2)"
command -v ping >/dev/null || skip "no ping"
trap cleanup EXIT
ip netns add "$ns" 2>/dev/null || skip "ip netns does not work here"
in_ns() { ip netns exec "$ns" "$@"; }
in_ns ip link set lo up || skip "cannot use a network namespace here"

# Not through in_ns: a function would run in a subshell of its own, and $!
# must be ne2000sim itself (`ip netns exec` execs it) for SIGINT to reach it.
ip netns exec "$ns" "$program" --tap "$tap" --guest-address $guest/24 --for 120 >"$log" 2>&1 &
sim=$!
# The device appears once the adapter is up: seconds under the sanitizers.
for _ in $(seq 300); do
    in_ns ip link show "$tap" >/dev/null 2>&1 && break
    kill -0 "$sim" 2>/dev/null || fail "ended before opening $tap"
    sleep 0.1
done
in_ns ip addr add 192.168.77.1/24 dev "$tap" && in_ns ip link set "$tap" up ||
    fail "could not give $tap its address (did it appear?)"

# The name is taken while the first holds the device: one line, exit 1.
in_ns "$program" --tap "$tap" --guest-address 192.168.77.3/24 --for 1 >/dev/null 2>"$log.second"
status=$?
grep -qx "ne2000sim: cannot attach TAP device $tap: the name is taken: another program holds that TAP device open" \
    "$log.second" && [ $status -eq 1 ] ||
    fail "a second --tap $tap: exit $status, stderr: $(cat "$log.second")"

# ARP and ICMP echo, answered by the guest's stack on its own.
in_ns ping -n -c 3 -i 0.2 -w 30 $guest | grep -q ", 3 received" || fail "ping $guest: not 3 replies"

# Some 14 KB (many segments, the window filled) through the guest's echo on
# port 7, with bash's own TCP client.
message=$(seq 1 3000 | tr '\n' ' ')
echoed=$(in_ns timeout 30 bash -c 'exec 3<>"/dev/tcp/$1/7" && printf %s "$2" >&3 && head -c "${#2}" <&3' \
    _ $guest "$message")
[ "$echoed" = "$message" ] || fail "echo on $guest:7: ${#echoed} of ${#message} bytes came back intact"

# The guest's status page with a stock HTTP client: it came through the driver.
page=$(in_ns curl --fail --silent --max-time 10 "http://$guest/") || fail "GET http://$guest/ failed"
grep -q '02:00:00:00:30:01' <<<"$page" || fail "the guest's page shows no station address"
in_ns curl --fail --silent --max-time 10 "http://$guest/stats.json" | grep -q "\"address\": \"$guest\"" ||
    fail "/stats.json does not name the guest's address"

kill -INT "$sim"
for _ in $(seq 150); do
    kill -0 "$sim" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$sim" 2>/dev/null && fail "still running 15 s after SIGINT"
wait "$sim"
status=$?
sim=
[ $status -eq 0 ] || fail "exit status $status after SIGINT"
grep -q "^  ok   the adapter halted and every packet the protocol sent came back" "$log" || fail "no clean halt"
grep -qx "4 of 4 steps passed; exit status 0" "$log" || fail "not every step passed"
grep "^tap: " "$log"
echo "ok: 3 pings and ${#message} bytes echoed through $tap; stopped by SIGINT, halted cleanly"
