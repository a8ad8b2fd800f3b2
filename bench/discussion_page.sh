#!/bin/sh
# Discussion-page benchmark: wrk (2 threads, 64 connections, "Connection:
# close") against quil rendering the page of a discussion of 50 messages
# (about 300 bytes each, the built-in pages, a guest's certificate in the
# URL as a browser would carry it) and against Debian's nginx (one worker)
# serving that very page as a static file of the same size, in the same
# run, in alternating rounds.  Reports the medians: requests per second,
# the ratio quil / nginx (target: at least 0.6) and the 99th-percentile
# latencies (target for quil: under 20 ms).  Then the same page again
# while the background save of a conference of a million messages runs
# (target: p99 at most double the figure without it).
#
# The conference is made through the server itself: an extension macro of
# the site creates the discussion and its messages when asked once.
#
#   bench/discussion_page.sh [path/to/quil] [seconds per round] [rounds]
#                            [messages for the save run, 0: none]
set -eu

QUIL=$(realpath "${1:-build/quil}")
SECS=${2:-10}
ROUNDS=${3:-3}
BULK=${4:-1000000}
. "$(dirname "$0")/wrk_lib.sh"
bench_start page

mkdir -p "$DIR/site/html" "$DIR/static"
cat > "$DIR/site/html/quilextn.tpl" <<'EOF'
%% macro benchPopulate %%%% if setPath("/") %%%% endif %%%% set d discussionCreate("Benchmark discussion") %%%% set n 0 %%%% while n < 50 %%%% if setPath(d) %%%% endif %%%% set m messageCreate("A reply of the benchmark discussion, about as long as replies in a conference often are: it says what it has to say in a few sentences and then it ends.  Some more words follow here so that each message comes to about three hundred bytes of text, which is what the page shows.") %%%% set n n + 1 %%%% endwhile %%%% if setPath(d) %%%% endif %%<p id="made">%% pathFull %%</p>%% endmacro %%
%% macro benchBulk %%%% set k 0 %%%% while k < form("d") %%%% whileLimitReset %%%% if setPath("/") %%%% endif %%%% set d discussionCreate("Bulk discussion") %%%% if setPath(d) %%%% endif %%%% set n 0 %%%% while n < form("m") %%%% whileLimitReset %%%% set x messageCreate("A message of the bulk conference, about as long as the messages of the measured page: a few sentences that say what they have to say and then end.  Some more words follow here so that each of the million messages comes to about three hundred bytes of text.") %%%% set n n + 1 %%%% endwhile %%%% set k k + 1 %%%% endwhile %%<p id="bulk">%% k %%</p>%% endmacro %%
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

# The save run: the sysop gives the cache the size a conference of a
# million messages wants (300,000 pages, 1.2 GB; the server starts again
# with it), the page is measured once more without a save, then a million
# messages (a thousand discussions) are made in one request, so that the
# periodic save that follows writes them all, and the page is measured
# while it does.
[ "$BULK" -gt 0 ] || exit 0
BASE="http://127.0.0.1:$QPORT/Quil"
scert=$(curl -s -d "username=sysop&password=sysop" "$BASE?95@@" |
  sed -n 's|.*href="?[0-9]*@\([^@"]*\)@.*|\1|p' | head -n 1)
curl -s -o /dev/null -d "memUserSpecified=1&smallObjectHeap=67108864&chunkPages=300000" \
  "$BASE?134@$scert@"
sleep 1
wait_port $QPORT /Quil?999@@
gcert=$(curl -s "$BASE?14@@$made" | sed -n 's|.*href="?14@\(\^[^@"]*\)@.*|\1|p' | head -n 1)
SURL="$BASE?14@$gcert@$made"
wrk_run "$SURL" 1 >/dev/null
quiet=$(wrk_run "$SURL" "$SECS")
per=$(( (BULK + 999) / 1000 ))
bulk=$(curl -s -m 1200 "$BASE?benchBulk@@!d=1000&m=$per" |
  sed -n 's|.*<p id="bulk">\([0-9]*\)</p>.*|\1|p')
[ "$bulk" = 1000 ] || { echo "the bulk conference was not made" >&2; exit 1; }
sleep 1  # the roll-forward records of the bulk request are written; the save starts
before=$(stat -c %s "$DIR/site/quil.db")
during=$(wrk_run "$SURL" "$SECS")
after=$(stat -c %s "$DIR/site/quil.db")
echo "$quiet $during" | awk -v b="$before" -v a="$after" -v n="$((per * 1000))" '{
  printf "with a cache of 300,000 pages: the page without a save, then during the background save of %d more messages (quil.db %d -> %d MB during the run)\n", n, b / 1048576, a / 1048576
  printf "  quil, no save:     %9.0f requests/s   p99 %7.2f ms\n", $1, $2
  printf "  quil, during save: %9.0f requests/s   p99 %7.2f ms   (%.2f times; target <= 2)\n", $3, $4, $4 / $2
}'
