#!/bin/sh
# Sets up the machine, builds quorrel in Release and runs the benchmark
# harness against a private mosquitto broker on loopback (started and stopped
# by the harness itself, by pid). Prints the results table and writes it to
# bench/results.md.
#
#   ./bench/run.sh            full run (a few minutes)
#   ./bench/run.sh --smoke    tiny counts, only checks that the harness works;
#                             the table goes to build-bench/results-smoke.md
# Any other arguments are passed to the harness (--reps N, --only p1,p3, --out FILE,
# --musl-dir DIR). --musl-dir build-x86_64-musl adds the footprint of the static
# musl programs that `scripts/cross.sh x86_64-musl` builds there (build them first).
set -eu
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUORREL_BENCH=ON -DQUORREL_TESTS=OFF \
  >/dev/null
cmake --build build-bench -j"$(nproc)" --target quorreld quorrel_client quorrel_bench >/dev/null

out=bench/results.md
for a in "$@"; do
  if [ "$a" = "--smoke" ]; then out=build-bench/results-smoke.md; fi
done
exec ./build-bench/quorrel_bench --out "$out" "$@"
