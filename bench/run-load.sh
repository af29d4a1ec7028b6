#!/usr/bin/env bash
# Load figures for the demo beside Express with passport (bench/peers), each comparison in one
# run on one machine:
#
#   bench/run-load.sh [BUILD_DIR [MODE]]      (default: build redirect)
#
# MODE redirect: the sign-in redirect as a browser makes it (the page without a cookie: a new
# session and its form token; then the sign-in POST: Login, the redirect). Starts zelk-demo on a
# free loopback port (it runs the simulator in-process), then the peer pointed at that
# simulator's Google listener, runs wrk -t2 -c50 -d10s against each in turn with
# bench/load/signin-redirect.lua, prints both figures and their ratios; then the same against
# zelk_bench_ceiling (the HTTP layer alone, answering the page and the redirect with nothing
# behind them). The figure is redirects/s (each after its page); p99 covers pages and POSTs.
#
# wrk's connections all come from 127.0.0.1, so the demo is started with
# --max-connections-per-address 20000 and --max-new-sessions-per-minute 0 (browsers come from
# many addresses; the default caps would refuse wrk's connections beyond 256 and its sign-ins
# beyond 60 a minute). The redirect run also raises --max-sessions: it makes some 50,000 sessions
# in 10 s, and at the default 10,000 a full table makes room by ending the idlest sessions whose
# browser has not come back yet: the very pages whose sign-in is about to be posted.
#
# The callback modes run one wrk connection per thread (callback and reuse: -t16 -c16,
# callback-delay: -t400 -c400): the load script pairs each sign-in's redirect, which keeps the
# session's cookie, with the session that posted it.
#
# MODE callback: complete Google sign-in callbacks (the return with code and state: the code
# exchanged for a token and the profile fetched, each over a new TLS connection, the user
# signed in, the redirect back to the page). Starts zelk-sim with --pre-approved-codes, so
# that the load script can make codes without its consent page; zelk-demo with --live --form
# bench/load/sim-form.json and the environment zelk-sim prints; the peer against the same
# simulator. Runs wrk -t16 -c16 -d10s against each with bench/load/signin-callback.lua, then
# the floor (zelk_bench_callback_floor: the same two provider calls from a bare libcurl loop,
# 2 threads, as long), and prints the callbacks/s of each, demo/peer and demo/floor. Exits 1
# when any sign-in failed.
#
# MODE callback-delay: the callback run with the provider far away: a delaying TCP proxy
# (zelk_bench_delay_proxy, DELAY_MS each way, default 25) between the simulator's Google listener
# and both the demo and the peer, and 400 connections (WRK_CONNECTIONS) instead of 50. The floor
# is skipped (two threads of blocking calls only measure the delay). Prints the callbacks/s, the
# callbacks' mean time and all requests' p99 of each, and the ratios.
#
# MODE idle: idle and slow connections. Starts zelk-demo --port 0 --keep-alive-timeout 300 with
# the hard limit of open files, then zelk_bench_idle against it: IDLE_CONNECTIONS (10000)
# kept-alive connections after one request each, TRICKLING_CONNECTIONS (200) that send a head one
# byte every 500 ms, then PROBES (100) new browsers one after another; prints the probes' p50
# and p99 and the demo's memory growth per open connection (VmRSS).
#
# MODE reuse: what TLS session resumption and kept connections buy, in one run against one
# zelk-sim (started as for callback). Complete Google callbacks (signin-callback.lua, wrk -t16
# -c16: one connection per thread) against, in turn:
#   zelk-classic-noresume  zelk-demo on bench/load/sim-form.json with ZELK_TLS_RESUMPTION=0
#                          (every provider call a full handshake: the demo's CPU before)
#   zelk-classic           the same with resumption on (the default: the CPU after)
#   zelk-current           zelk-demo on bench/load/sim-form-current.json (Google's current API:
#                          HTTP/1.1 calls on kept connections)
#   express-passport-fresh     the peer with a new connection and a full handshake per call
#   express-passport-sessions  the peer with Node's TLS session cache (PEER_AGENT=sessions)
#   express-passport-keepalive the peer with a keep-alive agent (PEER_AGENT=keepalive)
# (the demo holds up to 1,000,000 sessions: every callback leaves a signed-in one, which the
# default cap of 10,000 never drops) and prints each one's callbacks/s and CPU per callback, the ratios zelk-classic/fresh (target
# >= 3), zelk-classic/sessions (>= 1.5), zelk-current/keepalive (>= 2), and the demo's CPU per
# callback without and with resumption. Exits 1 when any sign-in failed.
#
# MODE store: what keeping sessions in a session store costs, in one run. Starts a redis-server
# of its own on a free loopback port (--save "" --appendonly no, stopped at exit), a key file in
# the run's temporary directory, and zelk-sim (as for callback, with --load-accounts 1 and five
# candidate demo addresses as X callbacks). Then, each load with the same wrk settings as its
# mode, one side after the other (each demo stopped before the next starts):
#   redirect  the redirect load against zelk-demo with its sessions in memory (as in MODE
#             redirect), then with --session-store redis://... --session-key-file ...;
#   callback  the callback load (as in MODE callback, without the peer and the floor) the same
#             two ways, on bench/load/sim-form.json;
# and prints for each the throughput of both and the ratio redis/memory (target >= 0.8), the p99
# of both and the difference (target <= +2 ms), the CPU per redirect or callback of the demo and
# of redis-server, and the store's round trips per redirect or callback (/metrics). The store
# is emptied (FLUSHALL) between the loads. Then
#   sessions  for bench/load/sim-form.json (classic) and sim-form-current.json (current APIs):
#             zelk-demo with the store, zelk-load --one-session (Google, Facebook, Windows
#             Live and Twitter signed in and a PayPal payment, all in one session), the size of
#             that session's sealed record in Redis (HSTRLEN zelk:s:<id> d; target <= 8 KiB) and
#             MEMORY USAGE of its key and of the flow index keys left; then, on that signed-in
#             session, wrk -t1 -c1 for ROUND_TRIP_DURATION (3s) of GET /status (a request that
#             changes nothing; target 1 round trip) and of GET / (the page, which issues a new
#             card-form token each time and so is saved), and the store's round trips and saves
#             per request from /metrics before and after.
# STORE_LOADS (default "redirect callback sessions") picks the parts. Exits 1 when any sign-in
# failed.
#
# All modes stop what they started. The peer is skipped, with a message, when Node or its
# packages are missing (install them with: npm ci --prefix bench/peers). WRK_THREADS,
# WRK_CONNECTIONS and WRK_DURATION change wrk's -t, -c and -d.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
mode=${2:-redirect}
demo="$build/examples/demo/zelk-demo"
threads=${WRK_THREADS:-2}
conns=${WRK_CONNECTIONS:-50}
duration=${WRK_DURATION:-10s}

delay_ms=0
case "$mode" in
  redirect | idle | store) ;;
  callback | reuse)
    # One connection per wrk thread: the script then pairs each sign-in with its session.
    threads=${WRK_THREADS:-16}
    conns=${WRK_CONNECTIONS:-$threads}
    ;;
  callback-delay)
    delay_ms=${DELAY_MS:-25}
    # One connection per thread, so that each sign-in is paired with its session.
    threads=${WRK_THREADS:-400}
    conns=${WRK_CONNECTIONS:-$threads}
    ;;
  *) echo "run-load.sh: unknown mode \"$mode\" (redirect, callback, callback-delay, idle, reuse or store)" >&2; exit 2 ;;
esac
command -v wrk > /dev/null || { echo "run-load.sh: wrk is missing (apt-get install wrk)" >&2; exit 1; }
[ -x "$demo" ] || { echo "run-load.sh: $demo is missing; build it first" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2> /dev/null || true; done
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Waits until File has a line matching Pattern (the server prints it once it listens), or the
# process Pid is gone.
wait_for_line() {
  local file=$1 pattern=$2 pid=$3
  until grep -qs "$pattern" "$file"; do
    kill -0 "$pid" 2> /dev/null || { echo "run-load.sh: the server stopped:" >&2; cat "$file" "$file.err" >&2 2> /dev/null; exit 1; }
    sleep 0.05
  done
}

peer_available() {
  command -v node > /dev/null && [ -d "$here/peers/node_modules" ]
}
peer_missing() {
  echo "run-load.sh: the peer is skipped: Node or bench/peers/node_modules is missing (npm ci --prefix bench/peers)"
}

run_wrk() {  # Name URL
  echo "== $1: wrk -t$threads -c$conns -d$duration --latency -s bench/load/signin-redirect.lua $2 (page, then google/login)"
  wrk -t"$threads" -c"$conns" -d"$duration" --latency -s "$here/load/signin-redirect.lua" "$2" \
    | tee "$work/$1.wrk" | grep -E "Requests/sec|99%|redirects|p50_ms"
}

redirect_mode() {
  "$demo" --port 0 --max-connections-per-address 20000 --max-new-sessions-per-minute 0 \
    --max-sessions 1000000 > "$work/demo" 2> "$work/demo.err" &
  pids+=($!)
  wait_for_line "$work/demo" "^Open " "${pids[-1]}"
  demo_url=$(sed -n 's/^Open \(.*\) in a browser$/\1/p' "$work/demo")
  google=$(sed -n 's/.*serves Google at \(https:[^,]*\),.*/\1/p' "$work/demo.err")

  uptime
  run_wrk zelk "$demo_url"

  if peer_available; then
    node "$here/peers/server.js" "$google" > "$work/peer" 2> "$work/peer.err" &
    pids+=($!)
    wait_for_line "$work/peer" "^Listening on " "${pids[-1]}"
    peer_url=$(sed -n 's/^Listening on \(.*\)$/\1/p' "$work/peer")
    run_wrk express-passport "$peer_url"
    read -r _ zr _ zp99 _ < <(awk '/^p50_ms/ {print "rps", $6, "p99", $4, "x"}' "$work/zelk.wrk")
    read -r _ pr _ pp99 _ < <(awk '/^p50_ms/ {print "rps", $6, "p99", $4, "x"}' "$work/express-passport.wrk")
    awk -v zr="$zr" -v pr="$pr" -v zp="$zp99" -v pp="$pp99" 'BEGIN {
      printf "ratio requests/s zelk/express-passport %.2f (target >= 5)\n", zr / pr
      printf "ratio p99 latency zelk/express-passport %.2f (target <= 0.33)\n", zp / pp }'
  else
    peer_missing
  fi

  # The HTTP layer alone, with the demo's server options and reply sizes: what is left of each
  # request for the session, its components and Login.
  local ceiling="$build/bench/zelk_bench_ceiling"
  if [ -x "$ceiling" ]; then
    "$ceiling" > "$work/ceiling" 2> "$work/ceiling.err" &
    pids+=($!)
    wait_for_line "$work/ceiling" "^Listening on " "${pids[-1]}"
    run_wrk http-ceiling "$(sed -n 's/^Listening on \(.*\)$/\1/p' "$work/ceiling")"
    read -r _ cr _ < <(awk '/^p50_ms/ {print "rps", $6, "x"}' "$work/http-ceiling.wrk")
    read -r _ zr _ < <(awk '/^p50_ms/ {print "rps", $6, "x"}' "$work/zelk.wrk")
    awk -v zr="$zr" -v cr="$cr" 'BEGIN {
      printf "ratio requests/s zelk/http-ceiling %.2f\n", zr / cr }'
    if [ -f "$work/express-passport.wrk" ]; then
      read -r _ pr _ < <(awk '/^p50_ms/ {print "rps", $6, "x"}' "$work/express-passport.wrk")
      awk -v cr="$cr" -v pr="$pr" 'BEGIN {
        printf "ratio requests/s http-ceiling/express-passport %.2f\n", cr / pr }'
    fi
  else
    echo "run-load.sh: $ceiling is missing; the HTTP layer's ceiling is skipped"
  fi
}

# The figure a callback run printed: the number after Key on its line.
figure() {  # File Key
  awk -v k="$2" '$1 == k {print $2}' "$1"
}

# CPU time of a process so far (user + system), in clock ticks.
process_ticks() {  # Pid
  awk '{print $14 + $15}' "/proc/$1/stat"
}
# Busy and total clock ticks of the whole machine so far, and the CPU time of this script's
# finished children (wrk, the floor). Interrupt time (the loopback network's) is charged to the
# process that was running, so it is in the processes' figures already.
machine_ticks() {
  echo "$(awk '/^cpu / {print $2 + $3 + $4 + $7 + $8 + $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9}' /proc/stat) $(awk '{print $16 + $17}' "/proc/$$/stat")"
}

# Prints what a run cost: the CPU time per callback of the server (or the floor's loop) and of
# the simulator, and how the machine's CPU time went: to them, to wrk, to other work (other
# people's, on a shared machine: a high share there makes the run's figures unreliable; a few
# per cent either way are rounding to clock ticks), and idle.
report_cpu() {  # Label Callbacks ServerTicks0 ServerTicks1 SimTicks0 SimTicks1 Machine0 Machine1
  awk -v l="$1" -v n="$2" -v a0="$3" -v a1="$4" -v s0="$5" -v s1="$6" -v m0="$7" -v m1="$8" \
    -v hz="$(getconf CLK_TCK)" 'BEGIN {
      split(m0, b0, " "); split(m1, b1, " ")
      busy = b1[1] - b0[1]; total = b1[2] - b0[2]; children = b1[3] - b0[3]
      server = a1 - a0; sim = s1 - s0
      # The floor loop runs as a child of this script: counted once, as the server.
      if (l == "floor") children -= server
      if (n > 0) printf "cpu_ms_per_callback %s %.3f simulator %.3f\n", l, server * 1000 / hz / n, sim * 1000 / hz / n
      if (total > 0) printf "machine: %s %.0f%%, simulator %.0f%%, wrk %.0f%%, other work %.0f%%, idle %.0f%%\n",
        l, server * 100 / total, sim * 100 / total, children * 100 / total,
        (busy - server - sim - children) * 100 / total, (total - busy) * 100 / total }'
}

# CPU time of the simulator so far, with the delay proxy's when there is one (it stands for the
# network in front of the simulator, and would otherwise count as other work).
proxy_pid=""
sim_ticks() {  # SimPid
  local t
  t=$(process_ticks "$1")
  [ -z "$proxy_pid" ] || t=$((t + $(process_ticks "$proxy_pid")))
  echo "$t"
}

run_callbacks() {  # Name URL CodePrefix ServerPid SimPid
  local checks=$(((conns + threads - 1) / threads))
  echo "== $1: wrk -t$threads -c$conns -d$duration --timeout 10s --latency -s bench/load/signin-callback.lua $2 -- $3 20 $checks"
  local a0 s0 m0 a1 s1 m1
  a0=$(process_ticks "$4"); s0=$(sim_ticks "$5"); m0=$(machine_ticks)
  # A generous time-out keeps slow callbacks in the latency figures instead of counting them
  # apart.
  wrk -t"$threads" -c"$conns" -d"$duration" --timeout 10s --latency \
    -s "$here/load/signin-callback.lua" "$2" -- "$3" 20 "$checks" > "$work/$1.wrk"
  a1=$(process_ticks "$4"); s1=$(sim_ticks "$5"); m1=$(machine_ticks)
  sed -n '/^sign-ins /,$p' "$work/$1.wrk"
  local n
  n=$(awk '/^callbacks [0-9]/ {print $2}' "$work/$1.wrk")
  report_cpu "$1" "${n:-0}" "$a0" "$a1" "$s0" "$s1" "$m0" "$m1" | tee "$work/$1.cpu"
}

# The figures of a callback run with the provider far away, and their ratios to the peer's.
delay_report() {  # PeerCallbacksPerSecond
  local z zm zp pm="" pp=""
  z=$(figure "$work/zelk.wrk" callbacks_per_s)
  zm=$(figure "$work/zelk.wrk" callback_mean_ms)
  zp=$(awk '$1 == "all_requests" {print $5}' "$work/zelk.wrk")
  if [ -n "$1" ]; then
    pm=$(figure "$work/express-passport.wrk" callback_mean_ms)
    pp=$(awk '$1 == "all_requests" {print $5}' "$work/express-passport.wrk")
  fi
  awk -v z="$z" -v zm="$zm" -v zp="$zp" -v p="$1" -v pm="$pm" -v pp="$pp" -v d="$delay_ms" 'BEGIN {
    printf "provider %d ms away each way: callbacks/s zelk %.1f (mean %.1f ms, p99 of all requests %.1f ms)", d, z, zm, zp
    if (p != "") printf ", express-passport %.1f (mean %.1f ms, p99 %.1f ms)", p, pm, pp
    printf "\n"
    if (p != "") {
      printf "ratio callbacks/s zelk/express-passport %.2f (target >= 3)\n", z / p
      printf "ratio callback mean time zelk/express-passport %.2f\n", zm / pm
      printf "ratio p99 of all requests zelk/express-passport %.2f (target <= 0.33)\n", zp / pp
    } }'
  if grep -q "^FAILED" "$work"/*.wrk; then
    echo "run-load.sh: some sign-ins failed (see the FAILED lines above)" >&2
    exit 1
  fi
}

callback-delay_mode() {
  callback_mode
}

idle_mode() {
  local tool="$build/bench/zelk_bench_idle"
  [ -x "$tool" ] || { echo "run-load.sh: $tool is missing; build with -DZELK_BUILD_BENCHMARKS=ON" >&2; exit 1; }
  local idle=${IDLE_CONNECTIONS:-10000} trickling=${TRICKLING_CONNECTIONS:-200} probes=${PROBES:-100}
  # One descriptor per connection on both sides.
  ulimit -n "$(ulimit -Hn)"
  if [ "$(ulimit -n)" != unlimited ] && [ "$(ulimit -n)" -lt $((idle + trickling + 200)) ]; then
    echo "run-load.sh: only $(ulimit -n) open files allowed, $((idle + trickling + 200)) needed (raise the hard limit)" >&2
    exit 1
  fi
  # Kept-alive connections stay open for the whole run; the probes, new browsers all from
  # 127.0.0.1, would pass the per-address new-session limit (real browsers come from many).
  "$demo" --port 0 --keep-alive-timeout 300 --max-new-sessions-per-minute 0 \
    > "$work/demo" 2> "$work/demo.err" &
  pids+=($!)
  local demo_pid=$!
  wait_for_line "$work/demo" "^Open " "$demo_pid"
  local demo_url
  demo_url=$(sed -n 's/^Open \(.*\) in a browser$/\1/p' "$work/demo")
  uptime
  echo "== idle: $tool $demo_url <demo pid> $idle $trickling $probes"
  local ok=0
  "$tool" "$demo_url" "$demo_pid" "$idle" "$trickling" "$probes" | tee "$work/idle" || ok=1
  awk '$1 == "probe_p99_ms" { printf "probe p99 %.1f ms (target <= 50)\n", $2 }
       $1 == "rss_per_connection_bytes" { printf "server memory per open connection %.1f KiB (target <= 16)\n", $2 / 1024 }' "$work/idle"
  if [ "$ok" != 0 ]; then
    echo "run-load.sh: some probes were not answered" >&2
    exit 1
  fi
}

# Starts zelk-sim with --pre-approved-codes bench- and sets sim_pid, hosts and ca (the
# environment it prints for its clients) and google (its Google listener's address).
start_sim() {  # Sim [further zelk-sim arguments...]
  "$1" --pre-approved-codes bench- "${@:2}" > "$work/sim" 2> "$work/sim.err" &
  pids+=($!)
  sim_pid=$!
  wait_for_line "$work/sim.err" "running" "$sim_pid"
  hosts=$(sed -n 's/^ZELK_PROVIDER_HOSTS=//p' "$work/sim")
  ca=$(sed -n 's/^ZELK_EXTRA_CA_CERTIFICATES=//p' "$work/sim")
  google=$(sed -n 's/^zelk-sim: Google at \(https:.*\)$/\1/p' "$work/sim.err")
}

callback_mode() {
  local sim="$build/sim/zelk-sim" floor="$build/bench/zelk_bench_callback_floor"
  [ -x "$sim" ] || { echo "run-load.sh: $sim is missing; build it first" >&2; exit 1; }
  [ -x "$floor" ] || { echo "run-load.sh: $floor is missing; build with -DZELK_BUILD_BENCHMARKS=ON" >&2; exit 1; }

  local sim_pid hosts ca google
  start_sim "$sim"
  if [ "$delay_ms" != 0 ]; then
    # Every connection to the simulator's Google listener (token and profile calls) goes
    # through the proxy, which delays each chunk by delay_ms each way. TLS passes through it
    # untouched: the certificate names the host, not the port.
    local proxy="$build/bench/zelk_bench_delay_proxy" sim_port proxy_port
    [ -x "$proxy" ] || { echo "run-load.sh: $proxy is missing; build with -DZELK_BUILD_BENCHMARKS=ON" >&2; exit 1; }
    sim_port=${google##*:}
    "$proxy" 0 127.0.0.1 "$sim_port" "$delay_ms" > "$work/proxy" 2> "$work/proxy.err" &
    pids+=($!)
    proxy_pid=$!
    wait_for_line "$work/proxy" "^Listening on " "$proxy_pid"
    proxy_port=$(sed -n 's/^Listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/proxy")
    hosts=${hosts//127.0.0.1:$sim_port/127.0.0.1:$proxy_port}
    google=${google%:*}:$proxy_port
    echo "== the simulator's Google listener ($sim_port) behind zelk_bench_delay_proxy ($proxy_port), ${delay_ms} ms each way (its CPU counted with the simulator's)"
  fi

  ZELK_PROVIDER_HOSTS="$hosts" ZELK_EXTRA_CA_CERTIFICATES="$ca" \
    "$demo" --port 0 --live --form "$here/load/sim-form.json" --max-connections-per-address 20000 \
    --max-new-sessions-per-minute 0 \
    > "$work/demo" 2> "$work/demo.err" &
  pids+=($!)
  local demo_pid=$!
  wait_for_line "$work/demo" "^Open " "$demo_pid"
  local demo_url
  demo_url=$(sed -n 's/^Open \(.*\) in a browser$/\1/p' "$work/demo")

  uptime
  run_callbacks zelk "$demo_url" "bench-zelk-" "$demo_pid" "$sim_pid"
  # Stopped before the next run, so that its shutdown does not take from the peer's CPU.
  kill "$demo_pid"
  wait "$demo_pid" 2> /dev/null || true

  local peer=""
  if peer_available; then
    NODE_EXTRA_CA_CERTS="$ca" node "$here/peers/server.js" "$google" > "$work/peer" 2> "$work/peer.err" &
    pids+=($!)
    local peer_pid=$!
    wait_for_line "$work/peer" "^Listening on " "$peer_pid"
    local peer_url
    peer_url=$(sed -n 's/^Listening on \(.*\)$/\1/p' "$work/peer")
    run_callbacks express-passport "$peer_url" "bench-peer-" "$peer_pid" "$sim_pid"
    kill "$peer_pid"
    wait "$peer_pid" 2> /dev/null || true
    peer=$(figure "$work/express-passport.wrk" callbacks_per_s)
  else
    peer_missing
  fi

  if [ "$delay_ms" != 0 ]; then
    delay_report "$peer"
    return
  fi

  local seconds=${duration%s}
  echo "== floor: $floor $google <simulator CA> $seconds $threads bench-floor-"
  local floor_ok=0 s0 s1 m0 m1
  s0=$(process_ticks "$sim_pid"); m0=$(machine_ticks)
  "$floor" "$google" "$ca" "$seconds" "$threads" bench-floor- | tee "$work/floor" || floor_ok=1
  s1=$(process_ticks "$sim_pid"); m1=$(machine_ticks)
  local floor_ticks
  floor_ticks=$(awk -v hz="$(getconf CLK_TCK)" '/^floor_cpu_ms_per_callback/ {
    gsub(/\(/, "", $3); print int($3 * hz + 0.5) }' "$work/floor")
  report_cpu floor "$(awk '/^floor: / {print $7}' "$work/floor")" 0 "${floor_ticks:-0}" \
    "$s0" "$s1" "$m0" "$m1"

  local zelk floor_figure
  zelk=$(figure "$work/zelk.wrk" callbacks_per_s)
  floor_figure=$(figure "$work/floor" floor_callbacks_per_s)
  awk -v z="$zelk" -v p="$peer" -v f="$floor_figure" 'BEGIN {
    printf "callbacks/s zelk %.1f", z
    if (p != "") printf ", express-passport %.1f", p
    printf ", floor %.1f\n", f
    if (p != "") printf "ratio callbacks/s zelk/express-passport %.2f (target >= 2)\n", z / p
    if (f > 0) printf "ratio callbacks/s zelk/floor %.2f (the floor: two fresh TLS connections per callback)\n", z / f }'
  if grep -q "^FAILED" "$work"/*.wrk || [ "$floor_ok" != 0 ]; then
    echo "run-load.sh: some sign-ins failed (see the FAILED lines above)" >&2
    exit 1
  fi
}

# Starts zelk-demo on Form with the simulator's environment and any further VAR=value given,
# and the arguments in demo_args (none unless set), its output in $work/Name; sets demo_pid and
# demo_url.
demo_args=()
start_demo() {  # Name Form Hosts CA [VAR=value...]
  local name=$1 form=$2 hosts=$3 ca=$4
  shift 4
  env ZELK_PROVIDER_HOSTS="$hosts" ZELK_EXTRA_CA_CERTIFICATES="$ca" "$@" \
    "$demo" --port 0 --live --form "$form" --max-connections-per-address 20000 \
    --max-new-sessions-per-minute 0 --max-sessions 1000000 "${demo_args[@]}" \
    > "$work/$name.out" 2> "$work/$name.err" &
  pids+=($!)
  demo_pid=$!
  wait_for_line "$work/$name.out" "^Open " "$demo_pid"
  demo_url=$(sed -n 's/^Open \(.*\) in a browser$/\1/p' "$work/$name.out")
}

reuse_mode() {
  local sim="$build/sim/zelk-sim"
  [ -x "$sim" ] || { echo "run-load.sh: $sim is missing; build it first" >&2; exit 1; }
  local sim_pid hosts ca google
  start_sim "$sim"
  uptime

  local run
  for run in zelk-classic-noresume zelk-classic zelk-current; do
    case "$run" in
      zelk-classic-noresume) start_demo "$run" "$here/load/sim-form.json" "$hosts" "$ca" ZELK_TLS_RESUMPTION=0 ;;
      zelk-classic) start_demo "$run" "$here/load/sim-form.json" "$hosts" "$ca" ;;
      zelk-current) start_demo "$run" "$here/load/sim-form-current.json" "$hosts" "$ca" ;;
    esac
    run_callbacks "$run" "$demo_url" "bench-$run-" "$demo_pid" "$sim_pid"
    kill "$demo_pid"
    wait "$demo_pid" 2> /dev/null || true
  done

  local peers=0
  if peer_available; then
    peers=1
    for run in fresh sessions keepalive; do
      PEER_AGENT=$run NODE_EXTRA_CA_CERTS="$ca" node "$here/peers/server.js" "$google" \
        > "$work/peer-$run" 2> "$work/peer-$run.err" &
      pids+=($!)
      local peer_pid=$!
      wait_for_line "$work/peer-$run" "^Listening on " "$peer_pid"
      run_callbacks "express-passport-$run" "$(sed -n 's/^Listening on \(.*\)$/\1/p' "$work/peer-$run")" \
        "bench-peer-$run-" "$peer_pid" "$sim_pid"
      kill "$peer_pid"
      wait "$peer_pid" 2> /dev/null || true
    done
  else
    peer_missing
  fi

  local zn zc zk pf="" ps="" pk=""
  zn=$(figure "$work/zelk-classic-noresume.wrk" callbacks_per_s)
  zc=$(figure "$work/zelk-classic.wrk" callbacks_per_s)
  zk=$(figure "$work/zelk-current.wrk" callbacks_per_s)
  if [ "$peers" = 1 ]; then
    pf=$(figure "$work/express-passport-fresh.wrk" callbacks_per_s)
    ps=$(figure "$work/express-passport-sessions.wrk" callbacks_per_s)
    pk=$(figure "$work/express-passport-keepalive.wrk" callbacks_per_s)
  fi
  awk -v zn="$zn" -v zc="$zc" -v zk="$zk" -v pf="$pf" -v ps="$ps" -v pk="$pk" 'BEGIN {
    printf "callbacks/s zelk-classic-noresume %.1f, zelk-classic %.1f, zelk-current %.1f\n", zn, zc, zk
    if (pf != "") {
      printf "callbacks/s express-passport fresh %.1f, sessions %.1f, keepalive %.1f\n", pf, ps, pk
      printf "ratio callbacks/s zelk-classic/express-passport-fresh %.2f (target >= 3)\n", zc / pf
      printf "ratio callbacks/s zelk-classic/express-passport-sessions %.2f (target >= 1.5)\n", zc / ps
      printf "ratio callbacks/s zelk-current/express-passport-keepalive %.2f (target >= 2)\n", zk / pk
    } }'
  local cn cc
  cn=$(awk '$1 == "cpu_ms_per_callback" {print $3}' "$work/zelk-classic-noresume.cpu")
  cc=$(awk '$1 == "cpu_ms_per_callback" {print $3}' "$work/zelk-classic.cpu")
  awk -v cn="$cn" -v cc="$cc" 'BEGIN {
    if (cn > 0 && cc > 0) printf "demo cpu_ms_per_callback classic: resumption off %.3f, on %.3f (%.2f x less)\n", cn, cc, cn / cc }'
  if grep -q "^FAILED" "$work"/*.wrk; then
    echo "run-load.sh: some sign-ins failed (see the FAILED lines above)" >&2
    exit 1
  fi
}

# ---- the session store ------------------------------------------------------------------------

# A loopback port no TCP socket uses now, listening or not (after a load run, wrk's closed
# connections hold many ports for a while); the caller binds it next, and a start that loses the
# race tries another.
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    ss -Htan "sport = :$p" | grep -q . || { echo "$p"; return; }
  done
}

# A redis-server of the run's own on a free loopback port, without persistence, and a key file
# for the sealed sessions in the run's directory; sets redis_port, redis_pid and store_args (the
# demo's options for them).
start_redis() {
  local tool
  for tool in redis-server redis-cli openssl curl ss; do
    command -v "$tool" > /dev/null ||
      { echo "run-load.sh: $tool is missing (apt-get install redis-server openssl curl iproute2)" >&2; exit 1; }
  done
  (umask 077 && echo "k1 $(openssl rand -hex 32)" > "$work/keys")
  local tries
  for tries in 1 2 3 4 5; do
    redis_port=$(free_port)
    redis-server --bind 127.0.0.1 --port "$redis_port" --save "" --appendonly no \
      > "$work/redis" 2>&1 &
    pids+=($!)
    redis_pid=$!
    until redis-cli -p "$redis_port" ping 2> /dev/null | grep -q PONG; do
      kill -0 "$redis_pid" 2> /dev/null || break
      sleep 0.05
    done
    if kill -0 "$redis_pid" 2> /dev/null; then
      store_args=(--session-store "redis://127.0.0.1:$redis_port" --session-key-file "$work/keys")
      echo "== redis-server on 127.0.0.1:$redis_port (--save \"\" --appendonly no), key file $work/keys"
      return
    fi
    wait "$redis_pid" 2> /dev/null || true
  done
  echo "run-load.sh: redis-server did not start ($tries tries):" >&2
  cat "$work/redis" >&2
  exit 1
}

# A figure of the instance at URL (its address, ending in /) from its /metrics.
metric() {  # URL Name
  curl -fsS "${1}metrics" | awk -v n="$2" '$1 == n {print $2}'
}

stop_process() {  # Pid
  kill "$1" 2> /dev/null || true
  wait "$1" 2> /dev/null || true
}

# What a run cost per Unit on the demo (when DemoTicks is given) and on redis-server, and the
# store's round trips per Unit (none for the memory side).
store_costs() {  # Label Unit Count DemoTicks RedisTicks RoundTrips
  awk -v l="$1" -v u="$2" -v n="$3" -v d="$4" -v r="$5" -v t="$6" -v hz="$(getconf CLK_TCK)" 'BEGIN {
    if (n <= 0) exit
    printf "%s: cpu_ms per %s", l, u
    if (d != "") printf " demo %.3f,", d * 1000 / hz / n
    printf " redis-server %.3f", r * 1000 / hz / n
    if (t != "") printf ", store round trips per %s %.2f", u, t / n
    printf "\n" }'
}

# The two sides of a load: throughput, its ratio, p99 and its difference, against the targets.
store_compare() {  # Label Unit MemoryRate RedisRate MemoryP99 RedisP99
  awk -v l="$1" -v u="$2" -v m="$3" -v r="$4" -v mp="$5" -v rp="$6" 'BEGIN {
    printf "store %s: %s memory %.1f, redis %.1f, ratio redis/memory %.2f (target >= 0.8)\n", l, u, m, r, r / m
    printf "store %s: p99 memory %.2f ms, redis %.2f ms, difference %+.2f ms (target <= +2 ms)\n", l, mp, rp, rp - mp }'
}

# The redirect load (as in MODE redirect) against the demo with its sessions in memory, then
# with them in the store.
store_redirect() {
  threads=${WRK_THREADS:-2}
  conns=${WRK_CONNECTIONS:-50}
  local side
  for side in memory redis; do
    local extra=()
    [ "$side" = memory ] || extra=("${store_args[@]}")
    "$demo" --port 0 --max-connections-per-address 20000 --max-new-sessions-per-minute 0 \
      --max-sessions 1000000 "${extra[@]}" > "$work/demo-$side" 2> "$work/demo-$side.err" &
    pids+=($!)
    local pid=$! url rt0="" rt1="" a0 a1 r0 r1
    wait_for_line "$work/demo-$side" "^Open " "$pid"
    url=$(sed -n 's/^Open \(.*\) in a browser$/\1/p' "$work/demo-$side")
    [ "$side" = memory ] || rt0=$(metric "$url" zelk_session_store_round_trips_total)
    a0=$(process_ticks "$pid"); r0=$(process_ticks "$redis_pid")
    run_wrk "redirect-$side" "$url"
    a1=$(process_ticks "$pid"); r1=$(process_ticks "$redis_pid")
    [ "$side" = memory ] || rt1=$(metric "$url" zelk_session_store_round_trips_total)
    store_costs "redirect $side" redirect "$(awk '/^redirects / {print $2}' "$work/redirect-$side.wrk")" \
      $((a1 - a0)) $((r1 - r0)) "${rt1:+$((rt1 - rt0))}"
    stop_process "$pid"
  done
  local mr mp rr rp
  read -r mr mp < <(awk '/^p50_ms/ {print $6, $4}' "$work/redirect-memory.wrk")
  read -r rr rp < <(awk '/^p50_ms/ {print $6, $4}' "$work/redirect-redis.wrk")
  store_compare redirect redirects/s "$mr" "$rr" "$mp" "$rp"
}

# The callback load (as in MODE callback, without the peer and the floor) against the demo with
# its sessions in memory, then with them in the store.
store_callback() {
  threads=${WRK_THREADS:-16}
  conns=${WRK_CONNECTIONS:-$threads}
  local side
  for side in memory redis; do
    demo_args=()
    [ "$side" = memory ] || demo_args=("${store_args[@]}")
    start_demo "callback-$side" "$here/load/sim-form.json" "$hosts" "$ca"
    local rt0="" rt1="" r0 r1
    [ "$side" = memory ] || rt0=$(metric "$demo_url" zelk_session_store_round_trips_total)
    r0=$(process_ticks "$redis_pid")
    run_callbacks "callback-$side" "$demo_url" "bench-store-$side-" "$demo_pid" "$sim_pid"
    r1=$(process_ticks "$redis_pid")
    [ "$side" = memory ] || rt1=$(metric "$demo_url" zelk_session_store_round_trips_total)
    store_costs "callback $side" callback "$(awk '/^callbacks [0-9]/ {print $2}' "$work/callback-$side.wrk")" \
      "" $((r1 - r0)) "${rt1:+$((rt1 - rt0))}"
    stop_process "$demo_pid"
  done
  demo_args=()
  local mr mp rr rp
  mr=$(figure "$work/callback-memory.wrk" callbacks_per_s)
  rr=$(figure "$work/callback-redis.wrk" callbacks_per_s)
  mp=$(awk '$1 == "all_requests" {print $5}' "$work/callback-memory.wrk")
  rp=$(awk '$1 == "all_requests" {print $5}' "$work/callback-redis.wrk")
  store_compare callback callbacks/s "$mr" "$rr" "$mp" "$rp"
}

# Round trips per request of the signed-in session Cookie at URL's Path: the store's round
# trips and the saves from /metrics before and after a wrk run on one connection, divided by
# the requests wrk made.
store_round_trips() {  # Label URL Path Cookie
  local rt0 rt1 s0 s1 n
  # The session's lease is taken again first (an idle session gives it back after a second).
  curl -fsS -o /dev/null -H "Cookie: $4" "$2$3"
  rt0=$(metric "$2" zelk_session_store_round_trips_total); s0=$(metric "$2" zelk_session_saves_total)
  wrk -t1 -c1 -d"${ROUND_TRIP_DURATION:-3s}" -H "Cookie: $4" "$2$3" > "$work/rt.wrk"
  rt1=$(metric "$2" zelk_session_store_round_trips_total); s1=$(metric "$2" zelk_session_saves_total)
  n=$(awk '/ requests in / {print $1}' "$work/rt.wrk")
  if grep -q "Non-2xx" "$work/rt.wrk" || [ "${n:-0}" = 0 ]; then
    cat "$work/rt.wrk" >&2
    echo "run-load.sh: GET /$3 of the signed-in session was not answered with 200" >&2
    exit 1
  fi
  awk -v l="$1" -v n="$n" -v t=$((rt1 - rt0)) -v s=$((s1 - s0)) 'BEGIN {
    printf "%s: round trips per request %.2f (%d requests, %d round trips, %d saves)\n", l, t / n, n, t, s }'
}

# One browser signs in with all four providers and pays with PayPal in one session (zelk-load
# --one-session) against the demo on Form with the store; then that session's record in Redis,
# and the round trips of its requests. Ports are the candidates the simulator's X app takes as
# callbacks.
store_session() {  # Label Form Ports...
  local label=$1 form=$2 port pid="" url
  shift 2
  for port in "$@"; do
    ZELK_PROVIDER_HOSTS="$hosts" ZELK_EXTRA_CA_CERTIFICATES="$ca" \
      "$demo" --port "$port" --live --form "$form" --max-new-sessions-per-minute 0 \
      "${store_args[@]}" > "$work/session-$label" 2> "$work/session-$label.err" &
    pids+=($!)
    pid=$!
    until grep -qs "^Open " "$work/session-$label" || ! kill -0 "$pid" 2> /dev/null; do sleep 0.05; done
    grep -qs "^Open " "$work/session-$label" && break
    wait "$pid" 2> /dev/null || true
    pid=""
  done
  [ -n "$pid" ] || { echo "run-load.sh: the demo did not start on any of the ports $*:" >&2; cat "$work/session-$label.err" >&2; exit 1; }
  url="http://127.0.0.1:$port/"
  echo "== sessions $label: $load --url $url --ca-file <simulator CA> --paypal-url $paypal --accounts 1 --one-session"
  if ! "$load" --url "$url" --ca-file "$ca" --paypal-url "$paypal" --accounts 1 --one-session \
      > "$work/load-$label" 2>&1; then
    cat "$work/load-$label" >&2
    echo "run-load.sh: the one-session flows against $form did not all complete" >&2
    exit 1
  fi
  local id
  id=$(sed -n 's/^session: //p' "$work/load-$label")
  [ -n "$id" ] || { cat "$work/load-$label" >&2; echo "run-load.sh: zelk-load printed no session id" >&2; exit 1; }
  local record memory flows=0 flow_bytes=0 key
  record=$(redis-cli -p "$redis_port" HSTRLEN "zelk:s:$id" d)
  memory=$(redis-cli -p "$redis_port" MEMORY USAGE "zelk:s:$id")
  # The flow index's entries the session's flows left (each expires with the session).
  while read -r key; do
    flows=$((flows + 1))
    flow_bytes=$((flow_bytes + $(redis-cli -p "$redis_port" MEMORY USAGE "$key")))
  done < <(redis-cli -p "$redis_port" --scan --pattern 'zelk:f:*')
  awk -v l="$label" -v r="$record" -v m="$memory" -v f="$flows" -v fb="$flow_bytes" 'BEGIN {
    printf "sessions %s: signed in with Google, Facebook, Windows Live and Twitter and paid with PayPal: sealed record %d bytes (%.2f KiB, target <= 8 KiB); Redis MEMORY USAGE of its key %d bytes, of the %d flow index keys it left %d bytes\n", l, r, r / 1024, m, f, fb }'
  echo "   (redis-cli -p $redis_port HSTRLEN zelk:s:<id> d; MEMORY USAGE zelk:s:<id>; MEMORY USAGE of each zelk:f:*)"
  local cookie="zelk_session=$id"
  local status
  status=$(curl -sS -o "$work/page-$label" -w "%{http_code}" -H "Cookie: $cookie" "$url")
  if [ "$status" != 200 ] || ! grep -q "Signed in with Google as" "$work/page-$label"; then
    echo "run-load.sh: the page of session $id does not show its Google sign-in (HTTP $status: $(sed -n 's/.*<title>\([^<]*\)<.*/\1/p' "$work/page-$label" | head -1))" >&2
    exit 1
  fi
  store_round_trips "sessions $label: GET /status (changes nothing)" "$url" status "$cookie"
  store_round_trips "sessions $label: GET / (the page: a new card-form token each time)" "$url" "" "$cookie"
  stop_process "$pid"
}

store_mode() {
  local sim="$build/sim/zelk-sim" load="$build/tests/zelk-load"
  [ -x "$sim" ] || { echo "run-load.sh: $sim is missing; build it first" >&2; exit 1; }
  [ -x "$load" ] || { echo "run-load.sh: $load is missing; build it first" >&2; exit 1; }
  local loads=${STORE_LOADS:-redirect callback sessions}
  local redis_port redis_pid store_args=()
  start_redis
  # The X app of the simulator takes the session runs' candidate addresses as callbacks (its
  # current API sends the browser back only to a registered one).
  local ports=() callbacks=() p
  for p in 1 2 3 4 5; do ports+=("$(free_port)"); done
  for p in "${ports[@]}"; do callbacks+=(--allow-callback "http://127.0.0.1:$p/"); done
  local sim_pid hosts ca google paypal
  start_sim "$sim" --load-accounts 1 "${callbacks[@]}"
  paypal=$(sed -n 's/^zelk-sim: PayPal at \(.*\)$/\1/p' "$work/sim.err")
  uptime
  case " $loads " in *" redirect "*) store_redirect ;; esac
  redis-cli -p "$redis_port" FLUSHALL > /dev/null
  case " $loads " in *" callback "*) store_callback ;; esac
  redis-cli -p "$redis_port" FLUSHALL > /dev/null
  case " $loads " in
    *" sessions "*)
      store_session classic "$here/load/sim-form.json" "${ports[@]}"
      redis-cli -p "$redis_port" FLUSHALL > /dev/null
      store_session current "$here/load/sim-form-current.json" "${ports[@]}"
      ;;
  esac
  if grep -qs "^FAILED" "$work"/callback-*.wrk; then
    echo "run-load.sh: some sign-ins failed (see the FAILED lines above)" >&2
    exit 1
  fi
}

"${mode}_mode"
