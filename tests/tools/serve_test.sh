#!/usr/bin/env bash
# ne2000sim --serve as people use it: curl fetches the guest's page and
# /stats.json through the forward, headless Chromium shows the page after its
# own refreshes (the station address, counters that moved), and Ctrl-C halts
# the adapter cleanly with exit 0. Usage: serve_test.sh PATH-TO-NE2000SIM
set -euo pipefail
program=$1
work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "serve_test: $*"; echo "--- ne2000sim said:"; cat "$work/out" || true; exit 1; }

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$program" --serve "$port" --for 120 >"$work/out" 2>&1 &
pid=$!
url=http://127.0.0.1:$port
for _ in $(seq 100); do
  curl -sf -m 2 -o /dev/null "$url/" && break
  kill -0 "$pid" 2>/dev/null || fail "it exited before serving"
  sleep 0.2
done

curl -sf -m 5 "$url/" >"$work/page.html" || fail "GET / failed"
grep -q '02:00:00:00:30:01' "$work/page.html" || fail "the page has no station address"
curl -sf -m 5 "$url/stats.json" >"$work/stats.json" || fail "GET /stats.json failed"
python3 - "$work/stats.json" <<'PY' || fail "/stats.json is not the adapter's state"
import json, sys
s = json.load(open(sys.argv[1]))
assert s["station_address"] == "02:00:00:00:30:01", s["station_address"]
assert s["initialize"]["name"] == "NDIS_STATUS_SUCCESS"
assert s["statistics"]["received"] > 0 and s["statistics"]["transmitted"] > 0
assert s["guest"]["address"] == "10.0.2.15"
assert any("TCP" in f["summary"] for f in s["wire"]["recent"])
PY
[ "$(curl -s -m 5 -o /dev/null -w '%{http_code}' "$url/missing")" = 404 ] || fail "an unknown page is not 404"

# The page refreshes itself from /stats.json; after a few seconds of its own
# time the DOM shows the updates and a receive count above the one it came with.
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$work/chromium" --virtual-time-budget=4000 \
  --dump-dom "$url/" >"$work/dom.html" 2>"$work/chromium.log" || fail "chromium failed: $(tail -3 "$work/chromium.log")"
python3 - "$work/dom.html" <<'PY' || fail "the page in Chromium did not refresh itself"
import json, re, sys
dom = open(sys.argv[1]).read()
assert re.search(r'id="station">02:00:00:00:30:01<', dom), "station address"
updates = int(re.search(r'id="updates">(\d+)', dom).group(1))
shown = int(re.search(r'id="stat-received">(\d+)<', dom).group(1))
served = json.loads(re.search(r'<script id="snapshot" type="application/json">(.*?)</script>', dom, re.S).group(1))
assert updates >= 1, f"{updates} updates"
assert shown > served["statistics"]["received"], f"received {shown}, served with {served['statistics']['received']}"
PY

kill -INT "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" = 0 ] || fail "exit status $status after Ctrl-C"
grep -q 'stopped by a signal' "$work/out" || fail "not stopped by the signal"
grep -q '^adapter: halted' "$work/out" || fail "the adapter was not halted"
grep -q '^4 of 4 steps passed; exit status 0' "$work/out" || fail "a step failed"
echo "serve_test: page, /stats.json, Chromium and Ctrl-C all as expected"
