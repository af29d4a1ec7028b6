#!/usr/bin/env bash
# Several instances behind HAProxy, as examples/deploy/haproxy.cfg sets them up: one zelk-sim,
# three zelk-demo sharing it, HAProxy in front, all on free loopback ports.
#
#   tests/deploy/scale-test.sh BUILD_DIR           the test (ctest label deploy)
#   tests/deploy/scale-test.sh BUILD_DIR --bench   flows/s of one instance, then of three
#                                                  behind HAProxy, and their ratio
#
# The test runs zelk-load through HAProxy three times, FLOWS flows (1000) each, 50 at a time,
# all five providers mixed:
#  1. every flow must end on its own session's page with the outcome its browser chose, and
#     every paid checkout must reach PayPal exactly once;
#  2. app2 is killed (SIGKILL) once a third of the flows have ended (the kill counts as done
#     once its port no longer listens, its sockets closed): the flows on app1 and app3
#     complete, app2's flows in progress end on the page asking the user to sign in again (or,
#     for a request app2 was serving at that moment, on HAProxy's error), none as a success
#     after the kill, no abandoned checkout charged; app2 then starts again on its port and a
#     short run must see sessions on it;
#  3. app3 gets SIGTERM once a third of the flows have ended: it drains (its readiness route
#     answers 503, HAProxy sends new browsers elsewhere, its sessions go on being served) and
#     exits 0; every flow completes.
# Every process started here is stopped on any exit.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:?usage: scale-test.sh BUILD_DIR [--bench]}
mode=${2:-test}
build=$(cd "$build" && pwd)
demo="$build/examples/demo/zelk-demo"
sim="$build/sim/zelk-sim"
load="$build/tests/zelk-load"
form="$root/bench/load/sim-form.json"
cfg="$root/examples/deploy/haproxy.cfg"
flows=${FLOWS:-1000}
accounts=8

fail() {
  echo "scale-test: $*" >&2
  exit 1
}
command -v haproxy > /dev/null || fail "haproxy is missing (make deps installs it: apt-get install haproxy)"
for f in "$demo" "$sim" "$load"; do [ -x "$f" ] || fail "$f is missing; build it first"; done

work=$(mktemp -d)
declare -A pid=()
cleanup() {
  for p in "${pid[@]}"; do kill -KILL "$p" 2> /dev/null || true; done
  for p in "${pid[@]}"; do wait "$p" 2> /dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits until File has a line matching Pattern, or fails when the process Name has gone.
wait_for_line() {  # File Pattern Name
  until grep -qs "$2" "$1"; do
    kill -0 "${pid[$3]}" 2> /dev/null || { cat "$1" "$1.err" >&2 2> /dev/null; fail "$3 stopped"; }
    sleep 0.05
  done
}

# A port nothing listens on now (HAProxy binds it next; a start that loses a race is retried).
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    ss -Hltn "sport = :$p" | grep -q . || { echo "$p"; return; }
  done
}

start_sim() {
  "$sim" --load-accounts "$accounts" --ca-file "$work/ca.pem" > "$work/sim" 2> "$work/sim.err" &
  pid[sim]=$!
  wait_for_line "$work/sim" "^ZELK_EXTRA_CA_CERTIFICATES=" sim
  wait_for_line "$work/sim.err" "PayPal at " sim
  export ZELK_PROVIDER_HOSTS ZELK_EXTRA_CA_CERTIFICATES
  ZELK_PROVIDER_HOSTS=$(sed -n 's/^ZELK_PROVIDER_HOSTS=//p' "$work/sim")
  ZELK_EXTRA_CA_CERTIFICATES=$(sed -n 's/^ZELK_EXTRA_CA_CERTIFICATES=//p' "$work/sim")
  paypal=$(sed -n 's/^zelk-sim: PayPal at \(.*\)$/\1/p' "$work/sim.err")
}

# Starts instance Name (app1..app3) on Port (0: a free one) and records its port.
start_demo() {  # Name Port
  "$demo" --live --form "$form" --port "$2" --max-new-sessions-per-minute 0 \
    --drain-timeout 20 > "$work/$1" 2> "$work/$1.err" &
  pid[$1]=$!
  wait_for_line "$work/$1" "^Open " "$1"
  port[$1]=$(sed -n 's/^Open http:\/\/127.0.0.1:\([0-9]*\)\/ in a browser$/\1/p' "$work/$1")
  rm -f "$work/$1"
}

start_haproxy() {
  local attempt
  for attempt in 1 2 3 4 5; do
    lb=$(free_port)
    stats=$(free_port)
    ZELK_LB_BIND=127.0.0.1:$lb ZELK_STATS_BIND=127.0.0.1:$stats \
      ZELK_APP1=127.0.0.1:${port[app1]} ZELK_APP2=127.0.0.1:${port[app2]} \
      ZELK_APP3=127.0.0.1:${port[app3]} \
      haproxy -db -f "$cfg" > "$work/haproxy" 2>&1 &
    pid[haproxy]=$!
    # Up once its statistics answer; a port taken meanwhile makes it exit: try others.
    until curl -fsS "http://127.0.0.1:$stats/;csv" > /dev/null 2>&1; do
      kill -0 "${pid[haproxy]}" 2> /dev/null || break
      sleep 0.05
    done
    kill -0 "${pid[haproxy]}" 2> /dev/null && return
    wait "${pid[haproxy]}" || true
  done
  cat "$work/haproxy" >&2
  fail "HAProxy did not start"
}

# Waits until HAProxy's health checks see instance Name in State (UP or DOWN).
wait_for_state() {  # Name State
  until curl -fsS "http://127.0.0.1:$stats/;csv" | awk -F, -v s="$1" -v want="$2" \
      '$1 == "zelk" && $2 == s { found = ($18 == want) } END { exit !found }'; do
    kill -0 "${pid[haproxy]}" 2> /dev/null || fail "HAProxy stopped"
    sleep 0.1
  done
}

run_load() {  # Label, then zelk-load's arguments
  local label=$1
  shift
  echo "== $label"
  if ! "$load" --url "$@" --ca-file "$ZELK_EXTRA_CA_CERTIFICATES" --paypal-url "$paypal" \
      --accounts "$accounts" > "$work/load" 2>&1; then
    cat "$work/load"
    fail "$label: not every flow ended as it should"
  fi
  cat "$work/load"
}

declare -A port=()
start_sim
for name in app1 app2 app3; do start_demo "$name" 0; done
start_haproxy
for name in app1 app2 app3; do wait_for_state "$name" UP; done
url="http://localhost:$lb/"

if [ "$mode" = "--bench" ]; then
  # The same flows against one instance directly, then through HAProxy to all three.
  run_load "one instance" "http://127.0.0.1:${port[app1]}/" --flows "$flows" --concurrency 50
  one=$(sed -n 's/.* ms (\([0-9]*\) flows\/s)$/\1/p' "$work/load")
  run_load "three instances behind HAProxy" "$url" --flows "$flows" --concurrency 50
  three=$(sed -n 's/.* ms (\([0-9]*\) flows\/s)$/\1/p' "$work/load")
  awk -v a="$one" -v b="$three" 'BEGIN { printf "flows/s: one instance %d, three behind HAProxy %d, ratio %.2f\n", a, b, b / a }'
  exit 0
fi

# 1. Everything as chosen.
run_load "$flows flows through HAProxy" "$url" --flows "$flows" --concurrency 50

# 2. app2 killed midway; its flows end on the sign-in-again page, the others complete.
run_load "app2 killed midway" "$url" --flows "$flows" --concurrency 50 --seed 2 \
  --event-after $((flows / 3)) --lost-instance app2 --event-command \
  "kill -KILL ${pid[app2]} && while ss -Hltn 'sport = :${port[app2]}' | grep -q .; do sleep 0.01; done"
wait "${pid[app2]}" 2> /dev/null || true
wait_for_state app2 DOWN
start_demo app2 "${port[app2]}"
wait_for_state app2 UP
run_load "app2 back" "$url" --flows 60 --concurrency 6 --seed 3 --expect-instance app2

# 3. app3 drained midway: none of its flows lost, and it exits 0.
run_load "app3 drained midway" "$url" --flows "$flows" --concurrency 50 --seed 4 \
  --event-after $((flows / 3)) --event-command "kill -TERM ${pid[app3]}"
status=0
wait "${pid[app3]}" || status=$?
unset 'pid[app3]'
[ "$status" = 0 ] || { cat "$work/app3.err" >&2; fail "app3 exited with $status after SIGTERM"; }
grep -q "stopped" "$work/app3.err" || fail "app3 did not report its stop"
echo "scale-test: passed"
