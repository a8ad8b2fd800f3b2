# Shared parts of the wrk benchmarks against nginx (sourced, not run):
# the scratch directory and its clean-up, free ports, waiting for a server,
# nginx with one worker serving a directory, one wrk run and medians.

# bench_start NAME: checks the tools, makes the scratch directory DIR
# (/tmp/quil-bench-NAME-...) and removes it on exit, after killing the
# servers QPID and NPID (set them when they start).
bench_start() {
  for tool in wrk nginx curl python3; do
    command -v $tool >/dev/null || { echo "$tool is missing (tools/install-deps)" >&2; exit 1; }
  done
  DIR=$(mktemp -d "/tmp/quil-bench-$1-XXXXXX")
  chmod 755 "$DIR"  # nginx workers run as another user
  QPID=""
  NPID=""
  trap bench_cleanup EXIT
}
bench_cleanup() {
  [ -n "$QPID" ] && kill $QPID 2>/dev/null && wait $QPID 2>/dev/null || true
  [ -n "$NPID" ] && kill $NPID 2>/dev/null && wait $NPID 2>/dev/null || true
  rm -rf "$DIR"
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# wait_port PORT PATH: until the server on PORT answers PATH.
wait_port() {
  i=0
  until curl -s -o /dev/null "http://127.0.0.1:$1$2"; do
    i=$((i + 1)); [ $i -gt 500 ] && { echo "server on port $1 did not start" >&2; exit 1; }
    sleep 0.02
  done
}

# start_nginx PORT ROOT: nginx (one worker process, access log off,
# sendfile on) serving ROOT on 127.0.0.1:PORT; sets NPID.
start_nginx() {
  mkdir -p "$DIR/nginx"
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
  server { listen 127.0.0.1:$1; root $2; }
}
EOF
  nginx -c "$DIR/nginx/nginx.conf" -p "$DIR/nginx" &
  NPID=$!
}

# wrk_run URL SECONDS: one wrk run (2 threads, 64 connections, "Connection:
# close"), printed as "requests/s p99-in-ms", with " non-2xx" when some
# answers were not 2xx.
wrk_run() {
  wrk -t2 -c64 -d"${2}s" -H 'Connection: close' --latency "$1" |
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

# rounds QURL NURL SECONDS ROUNDS: one warm-up run each, then ROUNDS
# alternating rounds; the results go to $DIR/quil.txt and $DIR/nginx.txt
# and the medians to QRPS, NRPS, QP99 and NP99.
rounds() {
  wrk_run "$1" 1 >/dev/null
  wrk_run "$2" 1 >/dev/null
  : > "$DIR/quil.txt"
  : > "$DIR/nginx.txt"
  r=1
  while [ $r -le "$4" ]; do
    q=$(wrk_run "$1" "$3"); echo "$q" >> "$DIR/quil.txt"
    n=$(wrk_run "$2" "$3"); echo "$n" >> "$DIR/nginx.txt"
    echo "round $r: quil $q   nginx $n   (requests/s, p99 ms)"
    r=$((r + 1))
  done
  QRPS=$(awk '{ print $1 }' "$DIR/quil.txt" | median)
  NRPS=$(awk '{ print $1 }' "$DIR/nginx.txt" | median)
  QP99=$(awk '{ print $2 }' "$DIR/quil.txt" | median)
  NP99=$(awk '{ print $2 }' "$DIR/nginx.txt" | median)
}
