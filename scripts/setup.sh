#!/bin/sh
# Installs the Debian packages that building, testing, packaging, fuzzing and
# benchmarking need.
# Idempotent: packages already present are left alone and apt is only touched when
# something is missing.
#   --cross   also what the device targets need (scripts/cross.sh): Debian's cross
#             compilers for armhf and i386 with the :armhf and :i386 development
#             packages, qemu-user-static with its binfmt entries (and one for
#             i386 when this kernel does not run 32-bit x86 programs itself),
#             llvm-strip, and npm for the Zig toolchain of the musl targets.
#
# The :armhf and :i386 libraries are Debian's own, installed beside the host's.
# Packages marked Multi-Arch: same must carry one version on every
# architecture, and a mirror's indexes for the other architectures sometimes
# lag behind the host's (a security update only on amd64 for hours). So each
# such package is installed at the newest version that every architecture
# involved offers, never below what is installed; when there is none, setup
# stops with one line naming the package and the versions on offer.
set -eu
cd "$(dirname "$0")/.."

want_cross=0
for a in "$@"; do
  case "$a" in
    --cross) want_cross=1 ;;
    *) echo "usage: $0 [--cross]" >&2; exit 2 ;;
  esac
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
host_arch=$(dpkg --print-architecture)
cross_archs="armhf i386"

pkgs="build-essential cmake pkg-config libgtest-dev googletest clang libclang-rt-14-dev
      libmosquitto-dev libev-dev mosquitto mosquitto-clients openssl valgrind file strace
      mandoc groff-base man-db shellcheck systemd dpkg-dev libssl-dev python3
      softhsm2 libengine-pkcs11-openssl"
if [ "$want_cross" -eq 1 ]; then
  for arch in $cross_archs; do
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

# The versions apt knows of PACKAGE:ARCH, newest first.
versions_of() {
  apt-cache madison "$1:$2" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}'
}
# The installed version of PACKAGE:ARCH, or nothing.
installed_of() {
  dpkg-query -W -f='${Status} ${Version}\n' "$1:$2" 2>/dev/null |
    sed -n 's/^install ok installed //p'
}
candidate_of() {
  apt-cache policy "$1:$2" 2>/dev/null | sed -n 's/^ *Candidate: //p'
}

# Prints "PACKAGE:ARCH=VERSION" for every Multi-Arch: same package in the
# dependency closure of the missing :ARCH packages whose candidates differ
# between the architectures that will hold it, choosing the newest version
# they all offer and never one below an installed version. Exits 1 with one
# line when there is no such version.
common_versions() {
  # shellcheck disable=SC2086
  foreign=$(printf '%s\n' $missing | grep ':' || true)
  [ -n "$foreign" ] || return 0
  # shellcheck disable=SC2086
  names=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
            --no-breaks --no-replaces --no-enhances $foreign 2>/dev/null |
          sed -n 's/^\([a-z0-9][^ <>]*\):[a-z0-9]*$/\1/p' | sort -u)
  for name in $names; do
    apt-cache show --no-all-versions "$name:armhf" 2>/dev/null | grep -qx 'Multi-Arch: same' ||
      continue
    archs="$cross_archs"
    [ -z "$(installed_of "$name" "$host_arch")" ] || archs="$host_arch $archs"
    floor=""
    for arch in $archs; do
      v=$(installed_of "$name" "$arch")
      if [ -n "$v" ] && { [ -z "$floor" ] || dpkg --compare-versions "$v" gt "$floor"; }; then
        floor=$v
      fi
    done
    # Newest first: the first version every architecture offers wins.
    chosen=""
    for v in $(versions_of "$name" "$(echo "$archs" | cut -d' ' -f1)"); do
      [ -z "$floor" ] || dpkg --compare-versions "$v" ge "$floor" || continue
      everywhere=1
      for arch in $archs; do
        versions_of "$name" "$arch" | grep -qxF "$v" || { everywhere=0; break; }
      done
      if [ "$everywhere" -eq 1 ]; then chosen=$v; break; fi
    done
    if [ -z "$chosen" ]; then
      offers=$(for arch in $archs; do
        printf '%s offers %s' "$arch" "$(versions_of "$name" "$arch" | tr '\n' ' ' | sed 's/ $//')"
        v=$(installed_of "$name" "$arch"); [ -z "$v" ] || printf ' (installed %s)' "$v"
        printf '; '
      done)
      echo "setup: $name has no version that every architecture offers (Multi-Arch: same), at or above what is installed: ${offers%; }" >&2
      exit 1
    fi
    same=1
    for arch in $archs; do
      [ "$(candidate_of "$name" "$arch")" = "$chosen" ] || same=0
    done
    [ "$same" -eq 1 ] && continue
    for arch in $archs; do echo "$name:$arch=$chosen"; done
  done
}

if [ -n "$missing" ]; then
  echo "setup: installing:$missing"
  ./scripts/apt-update.sh
  install=$missing
  if [ "$want_cross" -eq 1 ]; then
    pins=$(common_versions)
    if [ -n "$pins" ]; then
      echo "setup: the architectures' candidates differ; installing at one version each: $(echo "$pins" | tr '\n' ' ')"
      install=""
      for p in $missing; do
        printf '%s\n' "$pins" | grep -q "^$p=" || install="$install $p"
      done
      install="$install $(echo "$pins" | tr '\n' ' ')"
    fi
  fi
  # $install is a list of names: split on purpose.
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $install
else
  echo "setup: all packages present"
fi

[ "$want_cross" -eq 1 ] || exit 0

binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e $binfmt/register ]; then
  $SUDO mount -t binfmt_misc binfmt_misc $binfmt
fi

# Programs built for ARM and MIPS run through qemu-user by the kernel's binfmt
# handler, so that the tests can start them like native ones.
if [ ! -e $binfmt/qemu-arm ]; then
  if [ -x /lib/systemd/systemd-binfmt ]; then
    $SUDO /lib/systemd/systemd-binfmt
  else
    $SUDO update-binfmts --enable
  fi
  [ -e $binfmt/qemu-arm ] ||
    { echo "setup: could not register qemu-user with binfmt_misc" >&2; exit 1; }
fi

# 32-bit x86 programs: natively where this kernel runs them, else through
# qemu-i386, for which Debian ships no binfmt entry on amd64. The entry is
# made like Debian's own qemu entries: flags O, P and F, and an interpreter
# whose name ends in -binfmt-P, which tells qemu that the kernel passes
# argv[0] as typed (the P flag); the daemon's lock name is its argv[0]. An
# entry already there is switched off while the kernel is probed, since it
# would answer for it, and replaced when made otherwise.
i386_entry=$binfmt/qemu-i386
i386_interp=/usr/libexec/qemu-binfmt/i386-binfmt-P
if [ -e $i386_entry ]; then
  echo 0 | $SUDO tee $i386_entry >/dev/null
  mode=$(./scripts/i386-probe.sh)
  if [ "$mode" = native ] || ! grep -qx 'flags: .*P.*' $i386_entry ||
     ! grep -qx "interpreter $i386_interp" $i386_entry; then
    echo "setup: removing the qemu-i386 binfmt entry ($(sed -n 's/^interpreter //p' $i386_entry), $(sed -n 's/^flags: /flags /p' $i386_entry)); i386 programs without it: $mode"
    echo -1 | $SUDO tee $i386_entry >/dev/null
  else
    echo 1 | $SUDO tee $i386_entry >/dev/null
  fi
fi
mode=$(./scripts/i386-probe.sh)
if [ "$mode" = none ]; then
  echo "setup: this kernel does not run 32-bit x86 programs; registering qemu-i386 with binfmt_misc"
  $SUDO mkdir -p "$(dirname $i386_interp)"
  $SUDO ln -sf ../../bin/qemu-i386-static $i386_interp
  printf '%s' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$i386_interp:OPF" |
    $SUDO tee $binfmt/register >/dev/null
  mode=$(./scripts/i386-probe.sh)
fi
case "$mode" in
  native) echo "setup: i386 programs run natively" ;;
  emulated) echo "setup: i386 programs run under qemu-i386 (binfmt_misc entry qemu-i386)" ;;
  *) echo "setup: i386 programs do not run here, natively or under qemu-i386 ($i386_interp)" >&2; exit 1 ;;
esac

# The mosquitto package enables a system broker on port 1883. Tests never use it and
# never stop it; they start private brokers on free ports.
