#!/bin/sh
# Checks what an installation ships, then the Debian package end to end:
#   1. lints the man pages (mandoc and groff, no message allowed) and the
#      shell scripts of scripts/ and of the packaging (no message allowed);
#   2. builds a /usr tree in build-pkg, installs it into a DESTDIR and lists it;
#   3. builds the .deb with cpack, lists it, installs it with dpkg -i, runs
#      systemd-analyze verify on the installed unit;
#   4. runs the installed quorreld with the installed example configuration
#      (broker and socket paths overridden on the command line) against a
#      private mosquitto on a free loopback port, sends one message with the
#      installed quorrel_client and checks that a subscriber got it;
#   5. purges the package again.
# Everything it starts is stopped by pid. Run as root (dpkg -i); it refuses to
# run when a quorrel package is installed already.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

step() { printf '\n---- %s\n' "$*"; }
fail() { echo "package-test: $*" >&2; exit 1; }

step "man pages: mandoc -T lint -W style, groff -ww -z"
lint=$(mandoc -T lint -W style man/quorreld.8 man/quorrel_client.1 man/quorrel.conf.5 2>&1) ||
  fail "mandoc: ${lint}"
for page in man/quorreld.8 man/quorrel_client.1 man/quorrel.conf.5; do
  lint="$lint$(groff -ww -z -man "$page" 2>&1)" || fail "groff $page: ${lint}"
done
[ -z "$lint" ] || fail "lint messages: ${lint}"
echo "no messages"

step "shellcheck"
shellcheck scripts/*.sh contrib/openwrt/files/quorreld.init contrib/debian/postinst \
  contrib/debian/prerm contrib/debian/postrm
echo "no messages"

step "build for /usr (build-pkg)"
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUORREL_TESTS=OFF -DQUORREL_WERROR=ON >/dev/null
cmake --build build-pkg -j2 --target quorreld quorrel_client >/dev/null

step "installed tree (DESTDIR=build-pkg/destdir)"
rm -rf build-pkg/destdir
DESTDIR="$root/build-pkg/destdir" cmake --install build-pkg >/dev/null
(cd build-pkg/destdir && find . | sort)

step "cpack -G DEB"
rm -f build-pkg/quorrel_*.deb
(cd build-pkg && cpack -G DEB >/dev/null)
deb=$(ls build-pkg/quorrel_*.deb)
echo "$deb"
dpkg-deb -f "$deb" Package Version Architecture Depends
dpkg -c "$deb"
conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)
[ "$conffiles" = /etc/quorrel/quorreld.conf ] || fail "conffiles: $conffiles"

if dpkg-query -W -f='${Status}' quorrel 2>/dev/null | grep -q installed; then
  fail "a quorrel package is installed already; purge it first (dpkg --purge quorrel)"
fi

work=$(mktemp -d /tmp/quorrel-pkg.XXXXXX)
pids=""
installed=0
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  if [ "$installed" -eq 1 ]; then $SUDO dpkg --purge quorrel >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

step "dpkg -i"
$SUDO dpkg -i "$deb"
installed=1
for f in /usr/sbin/quorreld /usr/bin/quorrel_client /etc/quorrel/quorreld.conf \
         /lib/systemd/system/quorreld.service /usr/share/man/man8/quorreld.8; do
  [ -e "$f" ] || fail "$f was not installed"
done
getent passwd quorrel >/dev/null || fail "the package made no quorrel account"

step "systemd-analyze verify quorreld.service"
systemd-analyze verify /lib/systemd/system/quorreld.service
echo "no messages"

step "relay through the installed programs"
# A private broker on the first free loopback port found.
port=""
for candidate in $(shuf -i 20000-60000 -n 20); do
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest stderr\nlog_type all\n' \
    "$candidate" >"$work/mosquitto.conf"
  mosquitto -c "$work/mosquitto.conf" 2>"$work/broker.log" &
  bpid=$!
  for _ in $(seq 50); do
    grep -q "listen socket on port $candidate" "$work/broker.log" && break
    kill -0 "$bpid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$bpid" 2>/dev/null && grep -q "listen socket on port $candidate" "$work/broker.log"; then
    port=$candidate
    pids="$pids $bpid"
    break
  fi
  kill "$bpid" 2>/dev/null || true
  wait "$bpid" 2>/dev/null || true
done
[ -n "$port" ] || fail "no free port for the broker"
echo "broker on 127.0.0.1:$port"

topic=$(awk '$1 == "topic" { print $2 }' /etc/quorrel/quorreld.conf)
[ -n "$topic" ] || fail "no topic in the installed configuration"
mosquitto_sub -i quorrel-pkg-sub -h 127.0.0.1 -p "$port" -t "$topic" -C 1 -W 30 \
  >"$work/received" 2>"$work/sub.log" &
subpid=$!
pids="$pids $subpid"
for _ in $(seq 100); do
  grep -q "Received SUBSCRIBE from quorrel-pkg-sub" "$work/broker.log" && break
  sleep 0.1
done
grep -q "Received SUBSCRIBE from quorrel-pkg-sub" "$work/broker.log" || fail "subscriber never subscribed"

/usr/sbin/quorreld -c /etc/quorrel/quorreld.conf --host 127.0.0.1 -p "$port" \
  --unixsock "$work/q.sock" -u "$work/q.dgram" -d 7 2>"$work/quorreld.log" &
dpid=$!
pids="$pids $dpid"
# Local data is dropped until the broker has acknowledged the session.
for _ in $(seq 150); do
  grep -q "connect callback: 0" "$work/quorreld.log" && [ -S "$work/q.sock" ] && break
  kill -0 "$dpid" 2>/dev/null || break
  sleep 0.1
done
grep -q "connect callback: 0" "$work/quorreld.log" || {
  cat "$work/quorreld.log" >&2
  fail "the installed quorreld did not connect"
}

payload="installed package round trip $$"
/usr/bin/quorrel_client --unixsock "$work/q.sock" -D "$payload"
for _ in $(seq 100); do
  kill -0 "$subpid" 2>/dev/null || break
  sleep 0.1
done
received=$(cat "$work/received")
[ "$received" = "$payload" ] || {
  cat "$work/quorreld.log" "$work/sub.log" >&2
  fail "the subscriber got '$received' on $topic, not '$payload'"
}
echo "the subscriber got '$received' on $topic"

step "dpkg --purge"
kill "$dpid"
wait "$dpid" 2>/dev/null || true
$SUDO dpkg --purge quorrel
installed=0
for f in /usr/sbin/quorreld /usr/bin/quorrel_client /etc/quorrel/quorreld.conf \
         /lib/systemd/system/quorreld.service; do
  [ ! -e "$f" ] || fail "$f is still there after the purge"
done
echo "package test passed"
