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
for tool in wrk nginx curl; do
  command -v $tool >/dev/null || { echo "$tool is missing (tools/install-deps)" >&2; exit 1; }
done

DIR=$(mktemp -d /tmp/quil-bench-http-XXXXXX)
chmod 755 "$DIR"  # nginx workers run as another user
QPID=""
NPID=""
cleanup() {
  [ -n "$QPID" ] && kill $QPID 2>/dev/null && wait $QPID 2>/dev/null || true
  [ -n "$NPID" ] && kill $NPID 2>/dev/null && wait $NPID 2>/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_port() {
  i=0
  until curl -s -o /dev/null "http://127.0.0.1:$1/file.html"; do
    i=$((i + 1)); [ $i -gt 500 ] && { echo "server on port $1 did not start" >&2; exit 1; }
    sleep 0.02
  done
}

# The file: 13.6 KiB (13,926 bytes) of text.
mkdir -p "$DIR/site/html" "$DIR/nginx"
python3 -c 'import sys; sys.stdout.write(("<p>Quillmoot benchmark page line.</p>\n" * 400)[:13926])' \
  > "$DIR/site/html/file.html"

QPORT=$(free_port)
NPORT=$(free_port)
echo "webPort=127.0.0.1:$QPORT" > "$DIR/site/quil.set"
(cd "$DIR/site" && exec "$QUIL" -server 2>"$DIR/quil.err") &
QPID=$!

cat > "$DIR/nginx/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $DIR/nginx/nginx.pid;
error_log $DIR/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  default_type text/html;
  client_body_temp_path $DIR/nginx/body;
  proxy_temp_path $DIR/nginx/proxy;
  fastcgi_temp_path $DIR/nginx/fastcgi;
  uwsgi_temp_path $DIR/nginx/uwsgi;
  scgi_temp_path $DIR/nginx/scgi;
  server { listen 127.0.0.1:$NPORT; root $DIR/site/html; }
}
EOF
nginx -c "$DIR/nginx/nginx.conf" -p "$DIR/nginx" &
NPID=$!

wait_port $QPORT
wait_port $NPORT

# Both send the file's bytes.
for port in $QPORT $NPORT; do
  curl -s -o "$DIR/got.html" "http://127.0.0.1:$port/file.html"
  cmp -s "$DIR/site/html/file.html" "$DIR/got.html" || { echo "port $port sent other bytes" >&2; exit 1; }
done

# One wrk run: "requests/s p99-in-ms".
run() {
  wrk -t2 -c64 -d"${2}s" -H 'Connection: close' --latency "http://127.0.0.1:$1/file.html" |
    awk '
      function ms(v) {
        if (v ~ /us$/) { sub(/us$/, "", v); return v / 1000 }
        if (v ~ /ms$/) { sub(/ms$/, "", v); return v + 0 }
        if (v ~ /s$/)  { sub(/s$/, "", v);  return v * 1000 }
        return v
      }
      $1 == "99%" { p99 = ms($2) }
      $1 == "Requests/sec:" { rps = $2 }
      / Non-2xx / { bad = 1 }
      END { printf "%s %s%s\n", rps, p99, bad ? " non-2xx" : "" }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

run $QPORT 1 >/dev/null   # warm up both
run $NPORT 1 >/dev/null
: > "$DIR/quil.txt"
: > "$DIR/nginx.txt"
r=1
while [ $r -le "$ROUNDS" ]; do
  q=$(run $QPORT "$SECS"); echo "$q" >> "$DIR/quil.txt"
  n=$(run $NPORT "$SECS"); echo "$n" >> "$DIR/nginx.txt"
  echo "round $r: quil $q   nginx $n   (requests/s, p99 ms)"
  r=$((r + 1))
done

QRPS=$(awk '{ print $1 }' "$DIR/quil.txt" | median)
NRPS=$(awk '{ print $1 }' "$DIR/nginx.txt" | median)
QP99=$(awk '{ print $2 }' "$DIR/quil.txt" | median)
NP99=$(awk '{ print $2 }' "$DIR/nginx.txt" | median)
awk -v q="$QRPS" -v n="$NRPS" -v qp="$QP99" -v np="$NP99" 'BEGIN {
  printf "13.6 KiB static file, wrk -t2 -c64, Connection: close (medians)\n"
  printf "  quil:  %9.0f requests/s   p99 %7.2f ms\n", q, qp
  printf "  nginx: %9.0f requests/s   p99 %7.2f ms   (1 worker)\n", n, np
  printf "  ratio quil/nginx: %.2f (target >= 1.0)\n", q / n
}'
