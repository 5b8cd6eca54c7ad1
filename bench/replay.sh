#!/usr/bin/env bash
# replay.sh [BUILD] [COUNT] [SPEED] - a large replay while live values go on, by hand:
#
#   1. iosim sends 5,000 values/s into Quorvane and SQLite for 30 s: VmRSS "before".
#   2. The database directory goes away (an outage); a second iosim sends COUNT values at
#      full rate, which Quorvane caches; the live iosim (5,000 values/s) comes back.
#   3. The directory comes back: Quorvane reconnects and, once the file's ten-minute
#      period is over, replays it while the live values go on.  VmRSS is sampled every
#      2 s during the replay and 30 s after the cache is empty.
#
# Prints VmRSS before, during and after, the rows in history, what each iosim sent, and
# the replay's log lines (their times give the replay rate).  SPEED > 1 runs Quorvane
# with the fast test clock (tests/libzotestclock.so) so that the period ends sooner.
set -u
B=$(cd "${1:-build}" && pwd)
COUNT=${2:-6000000}
SPEED=${3:-5}
W=$(mktemp -d /tmp/qv_replay.XXXXXX)
mkdir -p "$W/bin/config" "$W/cache" "$W/db"
cp "$B/bin/Quorvane" "$W/bin/Quorvane"
cat > "$W/bin/config/rp.ini" <<EOC
{"dblinks":[{"node":"n","url":"sqlite://localhost$W/db/rt.db","user":"u","pswd":"p"}],
 "cache_path":"$W/cache"}
EOC
PI=$((20000 + RANDOM % 20000))
PL=$((PI + 1))
"$B/bin/logview" "udp://127.0.0.1:$PL" --level all > "$W/log.txt" 2>&1 &
LV=$!
IS=
iosim() {
    "$B/bin/iosim" --listen "ipc://127.0.0.1:$PI" --soe-rate 0 -q "$@" >> "$W/iosim.txt" 2>&1 &
    IS=$!
}
rss() { awk '/VmRSS/{print $2}' /proc/$QP/status; }
hist() { sqlite3 "$W/db/rt.db" "select count(*) from history" 2>/dev/null; }
iosim --rate 5000 --tags 1000
sleep 0.5
if [ "$SPEED" -gt 1 ]; then
    export LD_PRELOAD=$B/tests/libzotestclock.so ZO_TESTCLOCK="$(date +%s%3N) $SPEED"
fi
"$W/bin/Quorvane" "ipc://127.0.0.1:$PI" "udp://127.0.0.1:$PL" rp rp.ini inf > /dev/null 2>&1 &
QP=$!
unset LD_PRELOAD ZO_TESTCLOCK
sleep 30
echo "before the outage: VmRSS $(rss) KiB, history $(hist)"
mv "$W/db" "$W/db.away"
kill -TERM $IS; wait $IS
iosim --rate 0 --count "$COUNT" --tags 100000
last=-1
while :; do
    sleep 3
    s=$(du -sk "$W/cache" | cut -f1)
    echo "caching: cache ${s} KiB, VmRSS $(rss) KiB"
    [ "$s" = "$last" ] && break
    last=$s
done
kill -TERM $IS; wait $IS
iosim --rate 5000 --tags 1000
sleep 5
echo "outage over: VmRSS $(rss) KiB"
mv "$W/db.away" "$W/db"
t0=$(date +%s); peak=0; after=0
while :; do
    sleep 2
    r=$(rss)
    [ "$r" -gt "$peak" ] && peak=$r
    c=$(ls "$W/cache" | wc -l)
    echo "t=$(($(date +%s) - t0))s VmRSS ${r} KiB, history $(hist), cache files $c"
    if [ "$c" = 0 ]; then after=$((after + 1)); else after=0; fi
    [ $after -ge 15 ] && break
    [ $(($(date +%s) - t0)) -gt "${MAXS:-1800}" ] && break
done
echo "VmRSS peak during the replay: ${peak} KiB; after: $(rss) KiB"
kill -TERM $QP; wait $QP
kill -TERM $IS; wait $IS
sleep 0.5
kill -TERM $LV; wait $LV
grep "sent values" "$W/iosim.txt"
echo "history rows: $(hist)"
grep -E "open cache file|insert history|delete local cache|dropped|error -4" "$W/log.txt" | head -20
rm -rf "$W"
