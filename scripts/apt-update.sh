#!/bin/sh
# Updates apt's package lists the way every script of ours needs it: tries a
# few times, since mirrors are sometimes caught mid-sync, and then goes on
# when what failed is only what our scripts can do without: another
# architecture's package index (binary-armhf, binary-i386) or a translation.
# apt then keeps the lists it had for them, or none; scripts/setup.sh picks
# the cross packages' versions from what the lists that came in offer.
# Anything else that fails (this machine's own index, a Release file, the
# sources) ends the script with apt's error lines and status 1.
#
#   scripts/apt-update.sh      (as root, or with sudo)
# QUORREL_APT_TRIES (default 3) and QUORREL_APT_PAUSE (seconds, default 15,
# doubled after each failure) set the retries.
set -eu

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
tries=${QUORREL_APT_TRIES:-3}
pause=${QUORREL_APT_PAUSE:-15}
out=$(mktemp)
trap 'rm -f "$out"' EXIT

attempt=1
lock_waits=0
while :; do
  if LC_ALL=C $SUDO apt-get update -qq >"$out" 2>&1; then
    # Failures that apt reports only as warnings still leave a usable list.
    grep '^W:' "$out" >&2 || true
    exit 0
  fi
  # Another apt holds the lock: wait for it (up to 10 minutes); not an attempt.
  if grep -q 'Could not get lock\|Unable to lock' "$out" && [ "$lock_waits" -lt 120 ]; then
    lock_waits=$((lock_waits + 1)); sleep 5; continue
  fi
  [ "$attempt" -lt "$tries" ] || break
  echo "apt-update: apt-get update failed (attempt $attempt of $tries): $(grep -m1 '^E:' "$out" || tail -n1 "$out"); again in ${pause}s" >&2
  sleep "$pause"
  attempt=$((attempt + 1))
  pause=$((pause * 2))
done

# What failed, by address: "E: Failed to fetch URL  reason".
failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$out")
others=$(grep '^E:' "$out" | grep -v '^E: Failed to fetch ' |
         grep -v '^E: Some index files failed to download' || true)
if [ -n "$failed" ] && [ -z "$others" ] &&
   ! printf '%s\n' "$failed" | grep -Ev '/binary-(armhf|i386)/|/i18n/' | grep -q .; then
  echo "apt-update: after $tries attempts, going on without these indexes (other architectures' or translations; apt keeps its older lists for them, if any):" >&2
  sed -n 's/^[EW]: Failed to fetch /  /p' "$out" >&2
  exit 0
fi
grep '^E:' "$out" >&2 || cat "$out" >&2
echo "apt-update: apt-get update failed $tries times; see the lines above" >&2
exit 1
