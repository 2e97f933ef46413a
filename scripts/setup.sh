#!/bin/sh
# Installs the Debian packages that building, testing, packaging, fuzzing and
# benchmarking need.
# Idempotent: packages already present are left alone and apt is only touched when
# something is missing.
#   --cross   also what the device targets need (scripts/cross.sh): Debian's cross
#             compilers for armhf and i386 with the :armhf and :i386 development
#             packages, qemu-user-static with its binfmt entries, llvm-strip, and
#             npm for the Zig toolchain of the musl targets.
set -eu

want_cross=0
for a in "$@"; do
  case "$a" in
    --cross) want_cross=1 ;;
    *) echo "usage: $0 [--cross]" >&2; exit 2 ;;
  esac
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

pkgs="build-essential cmake pkg-config libgtest-dev googletest clang libclang-rt-14-dev
      libmosquitto-dev libev-dev mosquitto mosquitto-clients openssl valgrind file
      mandoc groff-base man-db shellcheck systemd dpkg-dev"
if [ "$want_cross" -eq 1 ]; then
  for arch in armhf i386; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      $SUDO dpkg --add-architecture "$arch"
    fi
    pkgs="$pkgs libmosquitto-dev:$arch libev-dev:$arch libssl-dev:$arch libstdc++6:$arch"
  done
  pkgs="$pkgs g++-arm-linux-gnueabihf g++-i686-linux-gnu qemu-user-static binfmt-support
        llvm xz-utils"
  command -v npm >/dev/null 2>&1 || pkgs="$pkgs npm"
fi

missing=""
for p in $pkgs; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -n "$missing" ]; then
  echo "setup: installing:$missing"
  $SUDO apt-get update -qq
  # $missing is a list of names: split on purpose.
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
else
  echo "setup: all packages present"
fi

# Programs built for ARM and MIPS run through qemu-user by the kernel's binfmt
# handler, so that the tests can start them like native ones.
if [ "$want_cross" -eq 1 ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ -x /lib/systemd/systemd-binfmt ]; then
    $SUDO /lib/systemd/systemd-binfmt
  else
    $SUDO update-binfmts --enable
  fi
  [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] ||
    { echo "setup: could not register qemu-user with binfmt_misc" >&2; exit 1; }
fi

# The mosquitto package enables a system broker on port 1883. Tests never use it and
# never stop it; they start private brokers on free ports.
