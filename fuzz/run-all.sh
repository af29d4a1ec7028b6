#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on a copy of its seed corpus.
#   fuzz/run-all.sh <build dir with the fuzzers> [seconds per target]
set -euo pipefail
build=${1:?build directory}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
status=0
for bin in "$build"/fuzz/fuzz_*; do
  name=$(basename "$bin")
  corpus="$build/fuzz-corpus/${name#fuzz_}"
  mkdir -p "$corpus"
  cp -n "$here/corpus/${name#fuzz_}"/* "$corpus/" 2>/dev/null || true
  echo "== $name for ${seconds}s"
  if ! "$bin" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/fuzz-$name-" "$corpus" 2>"$build/fuzz-$name.log"; then
    echo "!! $name found a failure; see $build/fuzz-$name.log"
    tail -40 "$build/fuzz-$name.log"
    status=1
  else
    echo "$name: $(grep -E "^Done [0-9]+ runs" "$build/fuzz-$name.log" | tail -1)"
  fi
done
exit $status
