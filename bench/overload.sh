#!/usr/bin/env bash
# overload.sh [BUILD] [COUNT] [SPEED] - the database slower than the IO server, by hand:
#
#   iosim --rate 0 --count COUNT --tags 100000 --> Quorvane (with a local cache) --> SQLite
#
# iosim sends COUNT values as fast as Quorvane reads them (far faster than SQLite takes
# them).  The script waits until history stops growing with the cache empty, stops
# everything, and prints what iosim sent, the rows in history (all and distinct by name
# and time), Quorvane's peak VmRSS, and what the log counted as not written.  With
# SPEED > 1 Quorvane runs with the fast test clock (tests/libzotestclock.so), so that
# the ten-minute file of what was cached is replayed within a minute.  iosim gives each
# tag strictly increasing times, so every value has a name and time of its own and
# history must end with COUNT rows minus the counted drops.
#
# Environment: TAGS (100000), STABLE (8 polls of 2 s), MAXS (1500 s).
set -u
B=$(cd "${1:-build}" && pwd)
COUNT=${2:-2000000}
SPEED=${3:-10}
W=$(mktemp -d /tmp/qv_overload.XXXXXX)
mkdir -p "$W/bin/config" "$W/cache"
cp "$B/bin/Quorvane" "$W/bin/Quorvane"
cat > "$W/bin/config/ovl.ini" <<EOC
{"dblinks":[{"node":"n","url":"sqlite://localhost$W/rt.db${URLQ:-}","user":"u","pswd":"p"}],
 "cache_path":"$W/cache"}
EOC
PI=$((20000 + RANDOM % 20000))
PL=$((PI + 1))
"$B/bin/logview" "udp://127.0.0.1:$PL" --level all > "$W/log.txt" 2>&1 &
LV=$!
"$B/bin/iosim" --listen "ipc://127.0.0.1:$PI" --rate 0 --count "$COUNT" --tags "${TAGS:-100000}" \
    --soe-rate 0 -q > "$W/iosim.txt" 2>&1 &
IS=$!
sleep 0.5
if [ "$SPEED" -gt 1 ]; then
    export LD_PRELOAD=$B/tests/libzotestclock.so ZO_TESTCLOCK="$(date +%s%3N) $SPEED"
fi
"$W/bin/Quorvane" "ipc://127.0.0.1:$PI" "udp://127.0.0.1:$PL" ovl ovl.ini inf > /dev/null 2>&1 &
QP=$!
unset LD_PRELOAD ZO_TESTCLOCK
t0=$(date +%s); last=-1; stable=0; peak=0
while :; do
    sleep 2
    n=$(sqlite3 "$W/rt.db" "select count(*) from history" 2>/dev/null || echo 0)
    r=$(awk '/VmRSS/{print $2}' /proc/$QP/status 2>/dev/null)
    [ -n "$r" ] && [ "$r" -gt "$peak" ] && peak=$r
    c=$(ls "$W/cache" | wc -l)
    echo "t=$(($(date +%s) - t0))s history=$n cachefiles=$c rss=${r}KiB" >&2
    if [ "$n" = "$last" ] && [ "$c" = 0 ]; then stable=$((stable + 1)); else stable=0; fi
    [ $stable -ge "${STABLE:-8}" ] && break
    last=$n
    [ $(($(date +%s) - t0)) -gt "${MAXS:-1500}" ] && break
done
kill -TERM $QP; wait $QP
kill -TERM $IS; wait $IS
sleep 0.5
kill -TERM $LV; wait $LV
grep "sent values" "$W/iosim.txt"
echo "history rows: $(sqlite3 "$W/rt.db" 'select count(*) from history')," \
    "distinct by name and time: $(sqlite3 "$W/rt.db" 'select count(*) from (select distinct name, time from history)')"
echo "peak VmRSS: ${peak} KiB"
echo "counted as not written: $(sed -nE 's/.*(dropped ([0-9]+) tag values| lost one package records ([0-9]+)| ([0-9]+) tag values already in history).*/\2\3\4/p' "$W/log.txt" | awk '{s += $1} END {print s + 0}')"
echo "queue-full refusals: $(grep -c 'error -4' "$W/log.txt")"
grep -E "open cache file|insert history|delete local cache" "$W/log.txt"
rm -rf "$W"
