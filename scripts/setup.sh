#!/bin/sh
# Installs the Debian packages that building, testing, packaging, fuzzing and
# benchmarking need.
# Idempotent: packages already present are left alone and apt is only touched when
# something is missing. Pass --i386 to add the 32-bit development packages as well.
set -eu

want_i386=0
for a in "$@"; do
  case "$a" in
    --i386) want_i386=1 ;;
    *) echo "usage: $0 [--i386]" >&2; exit 2 ;;
  esac
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

pkgs="build-essential cmake pkg-config libgtest-dev googletest clang libclang-rt-14-dev
      libmosquitto-dev libev-dev mosquitto mosquitto-clients openssl valgrind
      mandoc groff-base man-db shellcheck systemd dpkg-dev"
if [ "$want_i386" -eq 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  pkgs="$pkgs g++-multilib libmosquitto-dev:i386 libev-dev:i386 libssl-dev:i386"
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

# The mosquitto package enables a system broker on port 1883. Tests never use it and
# never stop it; they start private brokers on free ports.
