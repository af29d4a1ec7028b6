#!/usr/bin/env bash
# Load figures for the demo's sign-in redirect (a new session, Login, the redirect), and the
# same redirect served by Express with passport against the same provider simulator, in one
# run on one machine:
#
#   bench/run-load.sh [BUILD_DIR]      (default: build; zelk-demo must be built there)
#
# Starts zelk-demo on a free loopback port (it runs the simulator in-process), then the peer
# pointed at that simulator's Google listener, runs wrk -t2 -c50 -d10s against each in turn
# with bench/load/signin-redirect.lua, prints both figures and their ratios, and stops what it
# started. The peer is skipped, with a message, when Node or its packages are missing
# (install them with: npm ci --prefix bench/peers).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
demo="$build/examples/demo/zelk-demo"
threads=${WRK_THREADS:-2}
conns=${WRK_CONNECTIONS:-50}
duration=${WRK_DURATION:-10s}

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
  until grep -q "$pattern" "$file"; do
    kill -0 "$pid" 2> /dev/null || { echo "run-load.sh: the server stopped:" >&2; cat "$file" "$file.err" >&2; exit 1; }
    sleep 0.05
  done
}

run_wrk() {  # Name URL
  echo "== $1: wrk -t$threads -c$conns -d$duration --latency -s bench/load/signin-redirect.lua $2google/login"
  wrk -t"$threads" -c"$conns" -d"$duration" --latency -s "$here/load/signin-redirect.lua" "$2" \
    | tee "$work/$1.wrk" | grep -E "Requests/sec|99%|redirects|p50_ms"
}

"$demo" --port 0 > "$work/demo" 2> "$work/demo.err" &
pids+=($!)
wait_for_line "$work/demo" "^Open " "${pids[-1]}"
demo_url=$(sed -n 's/^Open \(.*\) in a browser$/\1/p' "$work/demo")
google=$(sed -n 's/.*serves Google at \(https:[^,]*\),.*/\1/p' "$work/demo.err")

uptime
run_wrk zelk "$demo_url"

if command -v node > /dev/null && [ -d "$here/peers/node_modules" ]; then
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
  echo "run-load.sh: the peer is skipped: Node or bench/peers/node_modules is missing (npm ci --prefix bench/peers)"
fi
