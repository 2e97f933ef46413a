#!/bin/bash
# Sets up the machine, builds quorrel, and shows messages flowing:
# a private mosquitto broker on a free loopback port (own config in a
# temporary directory), quorreld relaying to it, a mosquitto_sub printing what
# arrives, and quorrel_client plus a plain datagram writer sending to it.
# Everything started here is stopped again by pid on the way out.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

./scripts/setup.sh
command -v socat >/dev/null 2>&1 || {
  ./scripts/apt-update.sh && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq socat
}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quorreld quorrel_client >/dev/null

work=$(mktemp -d /tmp/quorrel-demo.XXXXXX)
name="quorreld_demo_$$"
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work" "/var/run/quorrel_client_${name}.pid"
}
trap cleanup EXIT INT TERM

# A private broker on the first free port found.
port=""
for candidate in $(shuf -i 20000-60000 -n 20); do
  cat >"$work/mosquitto.conf" <<CONF
listener $candidate 127.0.0.1
allow_anonymous true
persistence false
user root
CONF
  mosquitto -c "$work/mosquitto.conf" >"$work/broker.log" 2>&1 &
  bpid=$!
  sleep 0.5
  if kill -0 "$bpid" 2>/dev/null; then port=$candidate; pids="$pids $bpid"; break; fi
done
[ -n "$port" ] || { echo "no free port for the broker" >&2; exit 1; }
echo "broker: mosquitto on 127.0.0.1:$port"

mosquitto_sub -h 127.0.0.1 -p "$port" -t demo/out -v -C 4 >"$work/received" &
subpid=$!
pids="$pids $subpid"

# The daemon's lock is keyed by the name it was started under.
(exec -a "$name" "$root/build/quorreld" --host 127.0.0.1 -p "$port" -t demo/out \
   --unixsock "$work/stream.sock" -u "$work/dgram.sock" -d 7) 2>"$work/quorreld.log" &
pids="$pids $!"
echo "relay: quorreld, stream socket $work/stream.sock, datagram socket $work/dgram.sock"

# Local data is dropped until the broker has acknowledged the session.
for _ in $(seq 100); do
  grep -q "connect callback: 0" "$work/quorreld.log" && [ -S "$work/dgram.sock" ] && break
  sleep 0.1
done

"$root/build/quorrel_client" --unixsock "$work/stream.sock" -D "hello from quorrel_client"
printf 'line one\nline two\n' >"$work/file.txt"
"$root/build/quorrel_client" --unixsock "$work/stream.sock" -f "$work/file.txt"
printf 'a datagram' | socat -u - "UNIX-SENDTO:$work/dgram.sock"
printf '{"temp":21.5}' | socat -u - "UNIX-SENDTO:$work/dgram.sock"

for _ in $(seq 50); do kill -0 "$subpid" 2>/dev/null || break; sleep 0.1; done
echo "--- received by mosquitto_sub on topic demo/out:"
cat "$work/received"
echo "--- the relay's log:"
grep -E "Publish return|publish callback|tcp listen|udp create" "$work/quorreld.log" | head -20
