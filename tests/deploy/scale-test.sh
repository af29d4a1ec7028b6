#!/usr/bin/env bash
# Several instances behind HAProxy, as examples/deploy/haproxy.cfg sets them up: one redis-server
# (the session store every instance shares, sealed with one key file), one zelk-sim, three
# zelk-demo, HAProxy in front, all on free loopback ports.
#
#   tests/deploy/scale-test.sh BUILD_DIR           the test (ctest label deploy)
#   tests/deploy/scale-test.sh BUILD_DIR --bench   flows/s of one instance, then of three
#                                                  behind HAProxy, and their ratio
#
# The test runs zelk-load through HAProxy, FLOWS flows (1000) at a time, 50 browsers at once,
# all five providers mixed, first with every client on the providers' classic APIs:
#  1. every flow must end on its own session's page with the outcome its browser chose, and
#     every paid checkout must reach PayPal exactly once;
#  2. app2 is killed (SIGKILL) once a third of the flows have ended (the kill counts as done
#     once its port no longer listens): nothing is lost. Its flows complete on app1 and app3
#     with the outcome their browser chose (a few of its browsers wait at the provider's page
#     until it has gone, and must complete elsewhere), and every completed flow's browser still
#     sees its outcome at its next page. A request app2 was serving at that moment gets
#     HAProxy's 502; the browser reloads the page once, after a short pause, and another
#     instance carries on (a return app2 had claimed is taken over once app2's hold on the
#     session runs out; a return whose answer was lost is given the id it renewed). Its flow
#     must still end as chosen; only a sign-in whose code app2 had redeemed may end as failed,
#     said so, counted apart. Every payment completes and is taken exactly once. app2 then
#     starts again on its port and a short run must see sessions on it;
#  3. app3 gets SIGTERM once a third of the flows have ended: it drains (its readiness route
#     answers 503, HAProxy sends new browsers elsewhere, its sessions go on being served) and
#     exits 0; every flow completes; app3 starts again;
#  4. the three instances are restarted one after another (SIGTERM, wait for the exit, start on
#     the same port, wait until HAProxy sees it up) during the flows: every flow completes,
#     none unknown, every browser still sees its outcome afterwards, and the instances have
#     restored sessions from the store;
#  5. Redis is paused (SIGSTOP) for 3 s once a third of the flows have ended, then resumed
#     (SIGCONT): requests meanwhile get 503 and the browsers reload after a pause, as users do;
#     nothing is charged twice, nothing shows a success that did not happen (a sign-in whose
#     return was interrupted may end as failed, said so, and is counted apart), every payment
#     completes, and every flow started after it completes;
#  6. five PayPal checkouts whose return is sent to the three instances at the same moment:
#     each is captured once, and every answer and the next page show it paid (or refused).
# Then every instance restarts on bench/load/sim-form-current.json (every client on the
# providers' current APIs; the simulator's X app takes the balancer's address, plus "/", as its
# callback: zelk-sim --allow-callback) and phases 1, 2 (app1 killed) and 6 run again.
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
classic_form="$root/bench/load/sim-form.json"
current_form="$root/bench/load/sim-form-current.json"
form=$classic_form
cfg="$root/examples/deploy/haproxy.cfg"
flows=${FLOWS:-1000}
accounts=8

fail() {
  echo "scale-test: $*" >&2
  # What the instances reported last, for the cause.
  for f in "${work:-/nonexistent}"/app*.err; do
    [ -s "$f" ] && { echo "--- the last lines of $(basename "$f"):" >&2; tail -n 20 "$f" >&2; }
  done
  exit 1
}
for tool in haproxy redis-server redis-cli curl ss openssl; do
  command -v "$tool" > /dev/null ||
    fail "$tool is missing (make deps installs it: apt-get install haproxy redis-server curl iproute2 openssl)"
done
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

# A port nothing listens on now (the caller binds it next; a start that loses a race is
# retried on another).
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    ss -Hltn "sport = :$p" | grep -q . || { echo "$p"; return; }
  done
}

# Redis without persistence, on a free loopback port; sets store (its URL).
start_redis() {
  local attempt redis_port
  for attempt in 1 2 3 4 5; do
    redis_port=$(free_port)
    redis-server --bind 127.0.0.1 --port "$redis_port" --save "" --appendonly no \
      > "$work/redis" 2>&1 &
    pid[redis]=$!
    until redis-cli -p "$redis_port" ping 2> /dev/null | grep -q PONG; do
      kill -0 "${pid[redis]}" 2> /dev/null || break
      sleep 0.05
    done
    if kill -0 "${pid[redis]}" 2> /dev/null; then
      store="redis://127.0.0.1:$redis_port"
      return
    fi
    wait "${pid[redis]}" || true
  done
  cat "$work/redis" >&2
  fail "redis-server did not start"
}

# The simulator, its X app taking the balancer's address (each candidate port's) as callback.
start_sim() {
  local callbacks=()
  for p in "${lb_ports[@]}"; do callbacks+=(--allow-callback "http://localhost:$p/"); done
  "$sim" --load-accounts "$accounts" --ca-file "$work/ca.pem" "${callbacks[@]}" \
    > "$work/sim" 2> "$work/sim.err" &
  pid[sim]=$!
  wait_for_line "$work/sim" "^ZELK_EXTRA_CA_CERTIFICATES=" sim
  wait_for_line "$work/sim.err" "PayPal at " sim
  export ZELK_PROVIDER_HOSTS ZELK_EXTRA_CA_CERTIFICATES
  ZELK_PROVIDER_HOSTS=$(sed -n 's/^ZELK_PROVIDER_HOSTS=//p' "$work/sim")
  ZELK_EXTRA_CA_CERTIFICATES=$(sed -n 's/^ZELK_EXTRA_CA_CERTIFICATES=//p' "$work/sim")
  paypal=$(sed -n 's/^zelk-sim: PayPal at \(.*\)$/\1/p' "$work/sim.err")
}

# Starts instance Name (app1..app3) on Port (0: a free one) with the form file $form and the
# session store, and records its port.
start_demo() {  # Name Port
  "$demo" --live --form "$form" --port "$2" --max-new-sessions-per-minute 0 \
    --drain-timeout 20 --session-store "$store" --session-key-file "$work/keys" \
    > "$work/$1" 2>> "$work/$1.err" &
  pid[$1]=$!
  wait_for_line "$work/$1" "^Open " "$1"
  port[$1]=$(sed -n 's/^Open http:\/\/127.0.0.1:\([0-9]*\)\/ in a browser$/\1/p' "$work/$1")
  rm -f "$work/$1"
}

# SIGTERM to instance Name: it drains and must exit 0, saying so.
stop_demo() {  # Name
  kill -TERM "${pid[$1]}"
  await_exit "$1"
}
# Instance Name, sent SIGTERM, must exit 0 and say so.
await_exit() {  # Name
  local status=0
  wait "${pid[$1]}" || status=$?
  unset "pid[$1]"
  [ "$status" = 0 ] || { cat "$work/$1.err" >&2; fail "$1 exited with $status after SIGTERM"; }
  grep -q "stopped" "$work/$1.err" || fail "$1 did not report its stop"
}

start_haproxy() {
  for lb in "${lb_ports[@]}"; do
    stats=$(free_port)
    ZELK_LB_BIND=127.0.0.1:$lb ZELK_STATS_BIND=127.0.0.1:$stats \
      ZELK_APP1=127.0.0.1:${port[app1]} ZELK_APP2=127.0.0.1:${port[app2]} \
      ZELK_APP3=127.0.0.1:${port[app3]} \
      haproxy -db -f "$cfg" > "$work/haproxy" 2>&1 &
    pid[haproxy]=$!
    # Up once its statistics answer; a port taken meanwhile makes it exit: try the next.
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

# A figure zelk-load printed: the number after Text on its line (0 when there is no such line).
figure() {  # Text
  local n
  n=$(sed -n "s/^$1: \([0-9]*\).*/\1/p" "$work/load" | head -1)
  echo "${n:-0}"
}

run_load() {  # Label, then zelk-load's arguments
  local label=$1
  shift
  echo "== $label (at ${SECONDS} s)"
  if ! "$load" --url "$url" --ca-file "$ZELK_EXTRA_CA_CERTIFICATES" --paypal-url "$paypal" \
      --accounts "$accounts" "$@" > "$work/load" 2>&1; then
    cat "$work/load"
    fail "$label: not every flow ended as it should"
  fi
  cat "$work/load"
}

# run_load, with zelk-load's event (--event-after) handed back to this script: the driver's
# command tells the script through a named pipe, waits while the script runs Action (a
# function here, so that the processes it starts are this script's), then goes on.
run_load_with_event() {  # Label Action, then zelk-load's arguments
  local label=$1 action=$2 got=0 status=0
  shift 2
  echo "== $label (at ${SECONDS} s)"
  rm -f "$work/event" "$work/event-done"
  mkfifo "$work/event" "$work/event-done"
  "$load" --url "$url" --ca-file "$ZELK_EXTRA_CA_CERTIFICATES" --paypal-url "$paypal" \
    --accounts "$accounts" \
    --event-command "echo > '$work/event' && read -r _ < '$work/event-done'" "$@" \
    > "$work/load" 2>&1 &
  pid[load]=$!
  # Held open for reading and writing, so that neither side's open waits for the other.
  exec 3<> "$work/event"
  while kill -0 "${pid[load]}" 2> /dev/null; do
    if read -r -t 1 -u 3 _; then
      got=1
      break
    fi
  done
  exec 3<&-
  if [ "$got" = 1 ]; then
    "$action"
    echo > "$work/event-done"
  fi
  wait "${pid[load]}" || status=$?
  unset 'pid[load]'
  cat "$work/load"
  [ "$status" = 0 ] || fail "$label: not every flow ended as it should"
  [ "$got" = 1 ] || fail "$label: the event never came"
}

kill_instance() {  # Name
  kill -KILL "${pid[$1]}"
  while ss -Hltn "sport = :${port[$1]}" | grep -q .; do sleep 0.01; done
}
kill_app1() { kill_instance app1; }
kill_app2() { kill_instance app2; }
drain_app3() { kill -TERM "${pid[app3]}"; }
# A deploy: each instance stopped gracefully and started again, one after another.
restart_all() {
  local name
  for name in app1 app2 app3; do
    stop_demo "$name"
    start_demo "$name" "${port[$name]}"
    wait_for_state "$name" UP
  done
  echo "restarted app1, app2 and app3 in turn"
}
pause_store() {
  kill -STOP "${pid[redis]}"
  # The outage's length.
  sleep 3
  kill -CONT "${pid[redis]}"
}

# Brings instance Name back on its port after a kill.
revive() {  # Name
  wait "${pid[$1]}" 2> /dev/null || true
  wait_for_state "$1" DOWN
  start_demo "$1" "${port[$1]}"
  wait_for_state "$1" UP
}

# The sum over the instances of a counter of theirs at /metrics.
metric_sum() {  # Name
  local name total=0 n
  for name in app1 app2 app3; do
    n=$(curl -fsS "http://127.0.0.1:${port[$name]}/metrics" | awk -v m="$1" '$1 == m {print $2}')
    total=$((total + ${n:-0}))
  done
  echo "$total"
}

# The flows of one form file: the phases above.
classic_phases() {
  # 1. Everything as chosen.
  run_load "$flows flows through HAProxy" --flows "$flows" --concurrency 50

  # 2. app2 killed midway: its flows complete on the others.
  run_load_with_event "app2 killed midway" kill_app2 --flows "$flows" --concurrency 50 \
    --seed 2 --event-after $((flows / 3)) --lost-instance app2 --reload --nothing-lost \
    --allow-unknown --revisit
  revive app2
  run_load "app2 back" --flows 60 --concurrency 6 --seed 3 --expect-instance app2

  # 3. app3 drained midway: none of its flows lost, and it exits 0.
  run_load_with_event "app3 drained midway" drain_app3 --flows "$flows" --concurrency 50 \
    --seed 4 --event-after $((flows / 3)) --revisit
  await_exit app3
  start_demo app3 "${port[app3]}"
  wait_for_state app3 UP

  # 4. A rolling restart: nothing lost, nobody signed out.
  run_load_with_event "app1, app2 and app3 restarted in turn" restart_all --flows "$flows" \
    --concurrency 50 --seed 5 --event-after 50 --reload --nothing-lost --revisit
  [ "$(metric_sum zelk_sessions_restored_total)" -gt 0 ] ||
    fail "after the restarts no instance restored a session from the store"

  # 5. The store paused for 3 s.
  run_load_with_event "the session store paused for 3 s" pause_store --flows "$flows" \
    --concurrency 50 --seed 6 --event-after $((flows / 3)) --reload --nothing-lost \
    --allow-unknown --revisit
  [ "$(figure "pages reloaded after a 503")" -gt 0 ] ||
    fail "no request got a 503 while the session store was paused"
  for name in app1 app2 app3; do wait_for_state "$name" UP; done

  # 6. One return, three instances at once.
  run_load "one PayPal return sent to app1, app2 and app3 at once" --flows 5 \
    --same-return "http://127.0.0.1:${port[app1]}/" --same-return "http://127.0.0.1:${port[app2]}/" \
    --same-return "http://127.0.0.1:${port[app3]}/"
}

current_phases() {
  run_load "current APIs: $flows flows through HAProxy" --flows "$flows" --concurrency 50 --seed 7
  run_load_with_event "current APIs: app1 killed midway" kill_app1 --flows "$flows" \
    --concurrency 50 --seed 8 --event-after $((flows / 3)) --lost-instance app1 --reload \
    --nothing-lost --allow-unknown --revisit
  revive app1
  run_load "current APIs: one PayPal return sent to app1, app2 and app3 at once" --flows 5 \
    --same-return "http://127.0.0.1:${port[app1]}/" --same-return "http://127.0.0.1:${port[app2]}/" \
    --same-return "http://127.0.0.1:${port[app3]}/"
}

declare -A port=()
lb_ports=()
for attempt in 1 2 3 4 5; do lb_ports+=("$(free_port)"); done
(umask 077 && echo "k1 $(openssl rand -hex 32)" > "$work/keys")
start_redis
start_sim
for name in app1 app2 app3; do start_demo "$name" 0; done
start_haproxy
for name in app1 app2 app3; do wait_for_state "$name" UP; done
url="http://localhost:$lb/"

if [ "$mode" = "--bench" ]; then
  # The same flows against one instance directly, then through HAProxy to all three.
  url="http://127.0.0.1:${port[app1]}/"
  run_load "one instance" --flows "$flows" --concurrency 50
  one=$(sed -n 's/.* ms (\([0-9]*\) flows\/s)$/\1/p' "$work/load")
  url="http://localhost:$lb/"
  run_load "three instances behind HAProxy" --flows "$flows" --concurrency 50
  three=$(sed -n 's/.* ms (\([0-9]*\) flows\/s)$/\1/p' "$work/load")
  awk -v a="$one" -v b="$three" 'BEGIN { printf "flows/s: one instance %d, three behind HAProxy %d, ratio %.2f\n", a, b, b / a }'
  exit 0
fi

classic_phases
echo "== every instance restarted on $current_form (the providers' current APIs)"
form=$current_form
for name in app1 app2 app3; do kill -TERM "${pid[$name]}"; done
for name in app1 app2 app3; do
  await_exit "$name"
  start_demo "$name" "${port[$name]}"
done
for name in app1 app2 app3; do wait_for_state "$name" UP; done
current_phases
echo "scale-test: passed in ${SECONDS} s"
