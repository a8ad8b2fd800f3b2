#!/bin/sh
# Posting benchmark: wrk (2 threads, 64 connections, "Connection: close")
# posting replies to one discussion as a registered user (logged in: the
# session's certificate in the URL), each with a text of its own, against quil in the durable
# mode (quil.set durableLog=1: an answer leaves only once its change is
# synced to the roll-forward log).  Counts the messages the discussion has
# afterwards and reports posts per second (target: at least 2,000) and the
# p99 latency.
#
#   bench/posting.sh [path/to/quil] [seconds]
set -eu

QUIL=$(realpath "${1:-build/quil}")
SECS=${2:-10}
. "$(dirname "$0")/wrk_lib.sh"
bench_start posting

mkdir -p "$DIR/site/html"
cat > "$DIR/site/html/quilextn.tpl" <<'TPL'
%% macro benchDiscussion %%%% if setPath("/") %%%% endif %%%% set d discussionCreate("Posting benchmark") %%<p id="made">%% d %%</p>%% endmacro %%
%% macro benchCount %%%% if setPath(form("d")) %%%% endif %%<p id="count">%% pathMessageCount %%</p>%% endmacro %%
TPL
QPORT=$(free_port)
printf 'webPort=127.0.0.1:%s\ndurableLog=1\n' "$QPORT" > "$DIR/site/quil.set"
(cd "$DIR/site" && exec "$QUIL" -server 2>"$DIR/quil.err") &
QPID=$!
wait_port $QPORT /Quil?999@@
BASE="http://127.0.0.1:$QPORT/Quil"

curl -s -o /dev/null -d "username=Bench+Poster&email=poster%40example.com&password=benchpw" "$BASE?20@@"
made=$(curl -s "$BASE?benchDiscussion@@" | sed -n 's|.*<p id="made">\([^<]*\)</p>.*|\1|p')
[ -n "$made" ] || { echo "the discussion was not made" >&2; exit 1; }
cert=$(curl -s -d "username=Bench+Poster&password=benchpw" "$BASE?23@@" |
  sed -n 's|.*href="?[0-9]*@\([^@"][^@"]*\)@.*|\1|p' | head -n 1)
[ -n "$cert" ] || { echo "the poster did not log in" >&2; exit 1; }
count() {
  curl -s "$BASE?benchCount@@!d=$made" | sed -n 's|.*<p id="count">\([0-9]*\)</p>.*|\1|p'
}

cat > "$DIR/post.lua" <<'LUA'
-- Each thread numbers its posts; the texts differ, so that none is taken
-- for a repeated post.
local threads = 0
function setup(thread)
  threads = threads + 1
  thread:set("tid", threads)
end
local n = 0
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
request = function()
  n = n + 1
  return wrk.format(nil, nil, nil,
    "newresponse=A+reply+of+the+posting+benchmark%2C+thread+" .. tid .. "%2C+number+" .. n)
end
LUA
before=$(count)
out=$(wrk -t2 -c64 -d"${SECS}s" -H 'Connection: close' --latency -s "$DIR/post.lua" "$BASE?11@$cert@$made")
after=$(count)
echo "$out" | grep -E "Requests/sec|99%|Non-2xx" || true
echo "$out" | awk -v b="$before" -v a="$after" -v s="$SECS" '
  $1 == "99%" { p99 = $2 }
  END {
    printf "posting in the durable mode, wrk -t2 -c64, Connection: close\n"
    printf "  %d messages posted in %d s: %.0f posts/s (target >= 2000), p99 %s\n", a - b, s, (a - b) / s, p99
  }'
