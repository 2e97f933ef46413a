#!/bin/sh
# Sets up the machine, builds quorrel in Release and runs the benchmark
# harness against a private mosquitto broker on loopback (started and stopped
# by the harness itself, by pid). Prints the results table and writes it to
# bench/results.md.
#
#   ./bench/run.sh            full run (a quarter of an hour)
#   ./bench/run.sh --smoke    tiny counts, only checks that the harness works;
#                             the table goes to build-bench/results-smoke.md
#   ./bench/run.sh --baseline REV
#                             also runs REV's quorreld and quorrel_client beside
#                             the current ones (P1, P2): built in Release in a
#                             temporary git worktree, removed at the end
# Any other arguments are passed to the harness (--reps N, --only p1,p3, --out FILE,
# --daemon-arg ARG (repeated: for the current quorreld of P2 and P8),
# --musl-dir DIR). --musl-dir build-x86_64-musl adds the footprint of the static
# musl programs that `scripts/cross.sh x86_64-musl` builds there (build them first).
set -eu
cd "$(dirname "$0")/.."

# Takes --baseline REV out of the arguments; the rest stay, in order.
baseline=
n=$#
i=0
while [ "$i" -lt "$n" ]; do
  a=$1
  shift
  i=$((i + 1))
  if [ "$a" = "--baseline" ] && [ "$i" -lt "$n" ]; then
    baseline=$1
    shift
    i=$((i + 1))
    continue
  fi
  set -- "$@" "$a"
done

./scripts/setup.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUORREL_BENCH=ON -DQUORREL_TESTS=OFF \
  >/dev/null
cmake --build build-bench -j"$(nproc)" --target quorreld quorrel_client quorrel_bench >/dev/null

if [ -n "$baseline" ]; then
  rev=$(git rev-parse --short "$baseline^{commit}")
  base_tree=$(mktemp -d /tmp/quorrel-baseline.XXXXXX)
  # shellcheck disable=SC2317 # called by the trap
  remove_baseline() {
    git worktree remove --force "$base_tree" 2>/dev/null || rm -rf "$base_tree"
    git worktree prune
  }
  trap remove_baseline EXIT
  trap 'exit 130' INT TERM
  git worktree add --detach "$base_tree" "$rev" >/dev/null 2>&1
  cmake -S "$base_tree" -B "$base_tree/build-bench" -DCMAKE_BUILD_TYPE=Release \
    -DQUORREL_TESTS=OFF >/dev/null
  cmake --build "$base_tree/build-bench" -j"$(nproc)" --target quorreld quorrel_client >/dev/null
  set -- "$@" --baseline-dir "$base_tree/build-bench" --baseline-name "$rev"
fi

out=bench/results.md
for a in "$@"; do
  if [ "$a" = "--smoke" ]; then out=build-bench/results-smoke.md; fi
done
# What the programs were built from, for the table's heading.
version=$(git rev-parse --short HEAD)
if ! git diff --quiet HEAD -- CMakeLists.txt cmake client common server; then
  version="$version with uncommitted changes"
fi
status=0
./build-bench/quorrel_bench --out "$out" --version-name "$version" "$@" || status=$?
exit "$status"
