#!/bin/sh
# Tells how this machine runs 32-bit x86 programs, by running one: prints
#   native     the kernel runs them itself;
#   emulated   they run, but under qemu-i386 (a binfmt_misc entry);
#   none       they do not run (Exec format error, or killed).
# Exit status 0 with one of those words; 1, with a line on stderr, when the
# probe cannot be built (Debian's g++-i686-linux-gnu is missing).
#
#   scripts/i386-probe.sh [--via PROGRAM]
# --via runs the probe through PROGRAM (an emulator) instead of exec'ing it.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)/cmake/i386-probe.c

via=""
case "${1:-}" in
  --via) [ $# -eq 2 ] || { echo "usage: $0 [--via PROGRAM]" >&2; exit 2; }; via=$2 ;;
  "") ;;
  *) echo "usage: $0 [--via PROGRAM]" >&2; exit 2 ;;
esac

cc=i686-linux-gnu-gcc
command -v "$cc" >/dev/null 2>&1 ||
  { echo "i386-probe: $cc not found (Debian package gcc-i686-linux-gnu)" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# Static, so that the answer does not depend on the :i386 C library being
# installed: only on the kernel (and binfmt_misc).
"$cc" -static -O1 -o "$dir/probe" "$src" ||
  { echo "i386-probe: could not build $src with $cc" >&2; exit 1; }

status=0
if [ -n "$via" ]; then
  "$via" "$dir/probe" 2>/dev/null || status=$?
else
  "$dir/probe" 2>/dev/null || status=$?
fi
case "$status" in
  42) echo native ;;
  43) echo emulated ;;
  *) echo none ;;
esac
