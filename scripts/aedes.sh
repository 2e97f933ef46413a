#!/bin/sh
# Installs the aedes MQTT broker, the tests' second broker beside mosquitto,
# from npm into the build tree, at the version pinned by
# tests/support/aedes/package.json and package-lock.json (npm ci).
#
#   scripts/aedes.sh [DIR]     DIR defaults to build/aedes under the repository
#
# Nothing is installed globally. When DIR already holds the pinned install, it
# says so and does nothing. The tests find DIR through the build (AEDES_DIR) or
# the environment variable QUORREL_AEDES_DIR.
set -eu
[ $# -le 1 ] || { echo "usage: $0 [DIR]" >&2; exit 2; }
case "${1:-}" in
  -*) echo "usage: $0 [DIR]" >&2; exit 2 ;;
  '' | /*) dir=${1:-} ;;
  *) dir=$(pwd)/$1 ;;
esac
cd "$(dirname "$0")/.."
root=$(pwd)
pins=$root/tests/support/aedes
dir=${dir:-$root/build/aedes}

say() { printf 'aedes.sh: %s\n' "$*"; }
die() { printf 'aedes.sh: %s\n' "$*" >&2; exit 1; }

command -v node >/dev/null 2>&1 || die "cannot install aedes: no node (node >= 20 is needed)"
command -v npm >/dev/null 2>&1 || die "cannot install aedes: no npm"
node_version=$(node --version)
node_major=${node_version#v}
node_major=${node_major%%.*}
case "$node_major" in
  '' | *[!0-9]*) die "cannot install aedes: node --version says '$node_version', not a version" ;;
esac
[ "$node_major" -ge 20 ] ||
  die "cannot install aedes: it needs node >= 20, $(command -v node) is $node_version (Debian 12's nodejs is 18)"

# A field of a package.json: json_field FILE EXPRESSION (e.g. .version).
json_field() { node -p "require(process.argv[1])$2" "$1"; }
want=$(json_field "$pins/package.json" .dependencies.aedes)
# The installed version, or nothing when there is none.
installed_version() {
  [ -f "$dir/node_modules/aedes/package.json" ] || return 0
  json_field "$dir/node_modules/aedes/package.json" .version
}

# The pinned install is there when a whole npm ci of our lock file finished
# there (the stamp is written last) and aedes is at the pinned version.
stamp=$dir/installed-lock.json
if [ "$(installed_version)" = "$want" ] && cmp -s "$pins/package-lock.json" "$stamp"; then
  say "aedes $want already installed in $dir"
  exit 0
fi

say "installing aedes $want into $dir (npm ci)"
mkdir -p "$dir"
rm -f "$stamp"
cp "$pins/package.json" "$pins/package-lock.json" "$dir/"
(cd "$dir" && npm ci --no-audit --no-fund --loglevel=error) ||
  die "could not get aedes $want from npm (npm ci failed in $dir, see above); the aedes tests will fail"
got=$(installed_version)
[ "$got" = "$want" ] || die "npm ci left aedes '${got:-none}' in $dir, not $want"
cp "$pins/package-lock.json" "$stamp"
say "aedes $want installed in $dir"
