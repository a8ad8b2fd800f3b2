#!/bin/sh
# Measures the CPU time an idle quil server uses: starts `quil -server` in a
# scratch directory, reads its user + system time from /proc before and
# after SECONDS seconds of idling, prints the difference and stops the
# server with SIGTERM.  Target: under 0.05 CPU seconds over 10 seconds.
#
#   bench/idle_cpu.sh [path/to/quil] [seconds]
set -eu

QUIL=$(realpath "${1:-build/quil}")
SECONDS_IDLE=${2:-10}
DIR=$(mktemp -d /tmp/quil-idle-XXXXXX)
trap 'rm -rf "$DIR"' EXIT

cd "$DIR"
"$QUIL" -server 2>server.err &
PID=$!

# Start-up is over once the lock file holds the process id.
i=0
until [ -s quil.lock ] && grep -q "$PID" quil.lock 2>/dev/null; do
  i=$((i + 1))
  if [ $i -gt 1000 ]; then echo "quil did not start" >&2; kill -9 $PID; exit 1; fi
  sleep 0.01
done

# Nanoseconds on a CPU, summed over the threads (schedstat), or clock ticks
# of user + system time where schedstat is missing.
if [ -r "/proc/$PID/schedstat" ]; then
  cpu() { cat /proc/$PID/task/*/schedstat | awk '{ n += $1 } END { print n }'; }
  UNIT=1000000000
else
  cpu() { awk '{ print $14 + $15 }' "/proc/$PID/stat"; }
  UNIT=$(getconf CLK_TCK)
fi
before=$(cpu)
sleep "$SECONDS_IDLE"
after=$(cpu)
threads=$(ls "/proc/$PID/task" | wc -l)

kill -TERM $PID
status=0
wait $PID || status=$?

awk -v b="$before" -v a="$after" -v u="$UNIT" -v s="$SECONDS_IDLE" -v t="$threads" \
  'BEGIN { printf "idle quil: %.6f CPU seconds over %d s (%d thread(s))\n", (a - b) / u, s, t }'
[ "$status" -eq 0 ] || { echo "quil exited with status $status" >&2; exit 1; }
[ ! -e quil.lock ] || { echo "quil.lock left behind" >&2; exit 1; }
