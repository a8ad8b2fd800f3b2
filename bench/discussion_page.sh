#!/bin/sh
# Discussion-page benchmark: wrk (2 threads, 64 connections, "Connection:
# close") against quil rendering the page of a discussion of 50 messages
# (about 300 bytes each, the built-in pages, a guest's certificate in the
# URL as a browser would carry it) and against Debian's nginx (one worker)
# serving that very page as a static file of the same size, in the same
# run, in alternating rounds.  Reports the medians: requests per second,
# the ratio quil / nginx (target: at least 0.6) and the 99th-percentile
# latencies (target for quil: under 20 ms).
#
# The conference is made through the server itself: an extension macro of
# the site creates the discussion and its messages when asked once.
#
#   bench/discussion_page.sh [path/to/quil] [seconds per round] [rounds]
set -eu

QUIL=$(realpath "${1:-build/quil}")
SECS=${2:-10}
ROUNDS=${3:-3}
. "$(dirname "$0")/wrk_lib.sh"
bench_start page

mkdir -p "$DIR/site/html" "$DIR/static"
cat > "$DIR/site/html/quilextn.tpl" <<'EOF'
%% macro benchPopulate %%%% if setPath("/") %%%% endif %%%% set d discussionCreate("Benchmark discussion") %%%% set n 0 %%%% while n < 50 %%%% if setPath(d) %%%% endif %%%% set m messageCreate("A reply of the benchmark discussion, about as long as replies in a conference often are: it says what it has to say in a few sentences and then it ends.  Some more words follow here so that each message comes to about three hundred bytes of text, which is what the page shows.") %%%% set n n + 1 %%%% endwhile %%%% if setPath(d) %%%% endif %%<p id="made">%% pathFull %%</p>%% endmacro %%
EOF

QPORT=$(free_port)
NPORT=$(free_port)
echo "webPort=127.0.0.1:$QPORT" > "$DIR/site/quil.set"
(cd "$DIR/site" && exec "$QUIL" -server 2>"$DIR/quil.err") &
QPID=$!
wait_port $QPORT /Quil?999@@

# The discussion, then a guest's certificate from its first page.
made=$(curl -s "http://127.0.0.1:$QPORT/Quil?benchPopulate@@" |
  sed -n 's|.*<p id="made">\([^<]*\)</p>.*|\1|p')
[ -n "$made" ] || { echo "the discussion was not made" >&2; exit 1; }
cert=$(curl -s "http://127.0.0.1:$QPORT/Quil?14@@$made" |
  sed -n 's|.*href="?14@\(\^[^@"]*\)@.*|\1|p' | head -n 1)
QURL="http://127.0.0.1:$QPORT/Quil?14@$cert@$made"
curl -s -o "$DIR/static/page.html" "$QURL"
messages=$(grep -o '<li class="message"' "$DIR/static/page.html" | wc -l)
[ "$messages" -eq 50 ] || { echo "the page shows $messages messages, not 50" >&2; exit 1; }

start_nginx $NPORT "$DIR/static"
NURL="http://127.0.0.1:$NPORT/page.html"
wait_port $NPORT /page.html
curl -s -o "$DIR/got.html" "$NURL"
cmp -s "$DIR/static/page.html" "$DIR/got.html" || { echo "nginx sent other bytes" >&2; exit 1; }
SIZE=$(wc -c < "$DIR/static/page.html")

rounds "$QURL" "$NURL" "$SECS" "$ROUNDS"

awk -v q="$QRPS" -v n="$NRPS" -v qp="$QP99" -v np="$NP99" -v size="$SIZE" 'BEGIN {
  printf "discussion page of 50 messages (%d bytes), wrk -t2 -c64, Connection: close (medians)\n", size
  printf "  quil:  %9.0f requests/s   p99 %7.2f ms   (target < 20 ms)\n", q, qp
  printf "  nginx: %9.0f requests/s   p99 %7.2f ms   (the same bytes, static, 1 worker)\n", n, np
  printf "  ratio quil/nginx: %.2f (target >= 0.6)\n", q / n
}'
