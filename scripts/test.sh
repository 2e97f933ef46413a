#!/bin/sh
# Sets up the machine and runs every test:
#   1. warnings-as-errors build and the whole suite (unit, black-box, and
#      end-to-end against private mosquitto brokers on loopback);
#   2. the whole suite again under ASan+UBSan;
#   3. the field target, static ARMv7 musl (scripts/cross.sh armhf-musl), with the
#      whole suite under qemu;
#   4. the other device targets (armhf and i386 glibc, x86-64 and big-endian MIPS
#      musl), each with the whole suite too (QUORREL_CROSS_TESTS=unit runs only
#      their unit tests);
#   5. both fuzz targets for a bounded time (FUZZ_SECONDS, default 60);
#   6. the benchmark harness with tiny counts, so that it cannot rot;
#   7. packaging (scripts/package-test.sh): man-page and shell lint, the
#      installed tree, and the Debian package installed, relaying, and purged.
# Every broker and daemon the tests need is started by the tests themselves; the
# second broker, aedes, is installed first into build/aedes (scripts/aedes.sh).
#
# --no-setup skips the package installation, for a machine set up already.
set -eu
cd "$(dirname "$0")/.."

SETUP=yes
for arg in "$@"; do
  case "$arg" in
    --no-setup) SETUP=no ;;
    *) echo "usage: $0 [--no-setup]" >&2; exit 2 ;;
  esac
done

FUZZ_SECONDS=${FUZZ_SECONDS:-60}
CROSS_TESTS=${QUORREL_CROSS_TESTS:-all}
JOBS=$(nproc)

t0=$(date +%s)
last=$t0
times=""
step() {
  now=$(date +%s)
  if [ -n "${current:-}" ]; then times="$times$(printf '%6ss  %s' "$((now - last))" "$current")
"; fi
  last=$now
  current=$*
  printf '\n==== %s\n' "$*"
}

if [ "$SETUP" = yes ]; then
  step "installing packages"
  ./scripts/setup.sh --cross
fi

step "aedes, the tests' second MQTT broker (npm, pinned; a no-op when installed)"
./scripts/aedes.sh

step "build (-Wall -Wextra -Werror)"
cmake -S . -B build -DQUORREL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$JOBS"

step "test suite"
(cd build && ctest --output-on-failure -j"$JOBS")

step "ASan+UBSan build and test suite"
cmake -S . -B build-asan -DQUORREL_WERROR=ON -DQUORREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-asan -j"$JOBS"
(cd build-asan &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j"$JOBS")

step "field target armhf-musl: build and whole suite under qemu"
./scripts/cross.sh armhf-musl --no-setup --tests all

for target in armhf i386 x86_64-musl mips-musl; do
  step "device target $target: build and $CROSS_TESTS tests"
  ./scripts/cross.sh "$target" --no-setup --tests "$CROSS_TESTS"
done

step "fuzzing, ${FUZZ_SECONDS}s per target"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUORREL_FUZZ=ON -DQUORREL_TESTS=OFF -DQUORREL_WERROR=ON
cmake --build build-fuzz -j"$JOBS" --target config_reader_fuzz option_parser_fuzz
for pair in config_reader_fuzz:config option_parser_fuzz:options; do
  target=${pair%%:*}
  seeds=${pair#*:}
  work=$(pwd)/build-fuzz/corpus-$seeds
  mkdir -p "$work"
  cp fuzz/corpus/"$seeds"/* "$work"/
  "./build-fuzz/$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$(pwd)/build-fuzz/$target-" "$work" \
    2>build-fuzz/"$target".log || { tail -50 build-fuzz/"$target".log; exit 1; }
  grep -E "stat::number_of_executed_units|Done [0-9]+ runs" build-fuzz/"$target".log || true
done

step "benchmark harness, smoke mode (tiny counts, no timing is checked)"
./bench/run.sh --smoke --musl-dir build-x86_64-musl

step "packaging: lint, install tree, Debian package round trip"
./scripts/package-test.sh

step "all tests passed"
printf '%s%6ss  all\n' "$times" "$(($(date +%s) - t0))"
