#!/usr/bin/env bash
# Runs every fuzz target built in BUILD_DIR for FUZZ_SECONDS seconds each, on a working copy of
# its seed corpus (BUILD_DIR/fuzz-corpus/<target>, kept between runs; the committed fuzz/corpus
# is only read) after replaying fuzz/regressions/<target>. Crash reproducers go to
# BUILD_DIR/fuzz-artifacts/<target>/. Exits non-zero when any target fails.
# Usage: fuzz/run.sh BUILD_DIR TARGET...
set -euo pipefail
build=$1
shift
seconds=${FUZZ_SECONDS:-60}
src=$(cd "$(dirname "$0")" && pwd)
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for t in "$@"; do
  bin=$build/fuzz/$t
  corpus=$build/fuzz-corpus/$t
  artifacts=$build/fuzz-artifacts/$t
  mkdir -p "$corpus" "$artifacts"
  if [ -d "$src/corpus/$t" ]; then cp -n "$src/corpus/$t"/* "$corpus"/ 2>/dev/null || true; fi
  if [ -d "$src/regressions/$t" ] && [ -n "$(ls -A "$src/regressions/$t")" ]; then
    echo "== $t: replaying fuzz/regressions/$t"
    if ! "$bin" -runs=1 "$src/regressions/$t"/*; then
      echo "== $t: FAILED on a regression input" >&2
      status=1
      continue
    fi
  fi
  echo "== $t: ${seconds}s"
  if ! "$bin" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$corpus"; then
    echo "== $t: FAILED (reproducer in $artifacts/)" >&2
    status=1
  fi
done
exit $status
