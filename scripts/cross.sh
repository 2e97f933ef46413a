#!/bin/sh
# Builds quorreld and quorrel_client for one device target, prints their
# stripped sizes and runs the test suite against the target's binaries.
#
#   scripts/cross.sh TARGET [--tests all|unit|none] [--no-setup]
#
#   armhf        ARMv7 hard-float, glibc, dynamic (Debian's arm-linux-gnueabihf-g++)
#   i386         32-bit x86, glibc, dynamic (Debian's i686-linux-gnu-g++)
#   armhf-musl   ARMv7 hard-float, musl, static (Zig)   -- the field target
#   x86_64-musl  x86-64, musl, static (Zig)
#   mips-musl    32-bit big-endian MIPS, musl, static (Zig)
#
# Leaves build-TARGET/quorreld and build-TARGET/quorrel_client. For the musl
# targets, libev, libmosquitto and OpenSSL are first built from Debian's source
# packages into build-TARGET/deps (reused when already built). ARM and MIPS
# programs, and the tests, run here under qemu-user through binfmt; the tests
# start the target's own daemon and sender against the host's mosquitto.
# --tests all (the default) runs the whole suite, unit leaves out the
# end-to-end tests of tests/integration, none only builds.
set -eu
cd "$(dirname "$0")/.."

usage() { echo "usage: $0 armhf|i386|armhf-musl|x86_64-musl|mips-musl [--tests all|unit|none] [--no-setup]" >&2; exit 2; }
[ $# -ge 1 ] || usage
target=$1
shift
tests=all
setup=1
while [ $# -gt 0 ]; do
  case "$1" in
    --tests) [ $# -ge 2 ] || usage; tests=$2; shift 2 ;;
    --no-setup) setup=0; shift ;;
    *) usage ;;
  esac
done
case "$tests" in all|unit|none) ;; *) usage ;; esac
case "$target" in
  armhf|i386|armhf-musl|x86_64-musl|mips-musl) ;;
  *) usage ;;
esac

JOBS=$(nproc)
build=build-$target
started=$(date +%s)
elapsed() { echo "$(( $(date +%s) - started ))s"; }
say() { printf '[cross %s +%s] %s\n' "$target" "$(elapsed)" "$*"; }

if [ "$setup" -eq 1 ]; then
  say "installing packages"
  ./scripts/setup.sh --cross
fi

# The end-to-end tests run against aedes too (installed into build/aedes).
if [ "$tests" = all ]; then
  ./scripts/aedes.sh
fi

case "$target" in
  *-musl)
    say "libraries from Debian's source packages"
    ./scripts/musl-deps.sh "$target" "$build/deps"
    ;;
esac

say "configuring"
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/$target.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORREL_WERROR=ON >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }

say "building"
case "$tests" in
  all) cmake --build "$build" -j"$JOBS" ;;
  unit) cmake --build "$build" -j"$JOBS" --target quorreld quorrel_client common_tests \
          server_tests client_tests bench_tests ;;
  none) cmake --build "$build" -j"$JOBS" --target quorreld quorrel_client ;;
esac

# Sizes as a device would hold them: without symbols (llvm-strip reads every
# architecture's objects).
for program in quorreld quorrel_client; do
  llvm-strip -o "$build/$program.stripped" "$build/$program"
done
sizes=$(for program in quorreld quorrel_client; do
  bytes=$(wc -c <"$build/$program.stripped")
  printf '%s %s bytes (%s.%s KiB)  ' "$program" "$bytes" "$((bytes / 1024))" "$((bytes * 10 / 1024 % 10))"
done)
say "built: $(file -b "$build/quorreld" | cut -d, -f1-2)"

case "$tests" in
  all) say "whole test suite"; (cd "$build" && ctest --output-on-failure -j"$JOBS") ;;
  # integration_tests is not built for unit runs: its placeholder test goes too.
  unit) say "unit tests"; (cd "$build" && ctest --output-on-failure -j"$JOBS" -LE integration -E '_NOT_BUILT$') ;;
  none) ;;
esac

say "stripped sizes: $sizes"
say "done"
