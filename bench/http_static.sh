#!/bin/sh
# Static-file benchmark: wrk (2 threads, 64 connections, "Connection:
# close") against quil serving a 13.6 KiB file and against Debian's nginx
# (one worker process, access log off, sendfile on) serving the same file,
# in the same run.  The two servers are measured in alternating rounds and
# the medians reported: requests per second, the ratio quil / nginx
# (target: at least 1.0) and the 99th-percentile latency of each.
#
#   bench/http_static.sh [path/to/quil] [seconds per round] [rounds]
set -eu

QUIL=$(realpath "${1:-build/quil}")
SECS=${2:-10}
ROUNDS=${3:-3}
. "$(dirname "$0")/wrk_lib.sh"
bench_start http

# The file: 13.6 KiB (13,926 bytes) of text.
mkdir -p "$DIR/site/html"
python3 -c 'import sys; sys.stdout.write(("<p>Quillmoot benchmark page line.</p>\n" * 400)[:13926])' \
  > "$DIR/site/html/file.html"

QPORT=$(free_port)
NPORT=$(free_port)
echo "webPort=127.0.0.1:$QPORT" > "$DIR/site/quil.set"
(cd "$DIR/site" && exec "$QUIL" -server 2>"$DIR/quil.err") &
QPID=$!

start_nginx $NPORT "$DIR/site/html"

wait_port $QPORT /file.html
wait_port $NPORT /file.html

# Both send the file's bytes.
for port in $QPORT $NPORT; do
  curl -s -o "$DIR/got.html" "http://127.0.0.1:$port/file.html"
  cmp -s "$DIR/site/html/file.html" "$DIR/got.html" || { echo "port $port sent other bytes" >&2; exit 1; }
done

rounds "http://127.0.0.1:$QPORT/file.html" "http://127.0.0.1:$NPORT/file.html" "$SECS" "$ROUNDS"

awk -v q="$QRPS" -v n="$NRPS" -v qp="$QP99" -v np="$NP99" 'BEGIN {
  printf "13.6 KiB static file, wrk -t2 -c64, Connection: close (medians)\n"
  printf "  quil:  %9.0f requests/s   p99 %7.2f ms\n", q, qp
  printf "  nginx: %9.0f requests/s   p99 %7.2f ms   (1 worker)\n", n, np
  printf "  ratio quil/nginx: %.2f (target >= 1.0)\n", q / n
}'
