#!/usr/bin/env bash
# zav-push's fleet benchmark, on loopback only: a store of MACHINES simulated
# machines (default 1,000,000) and 100 active campaigns, on SQLite and on
# PostgreSQL (a private server, scripts/pg-test.sh), beside nginx serving a
# fixed detect answer from memory. For each: wrk -t2 -c64 -d10s with detect
# queries of random machines (detect.lua), the service's resident memory,
# p99 at a fixed 5,000 detect requests a second (push_load rate), and message
# answers with their delivery records per second (push_load messages).
#
#   bench/push/run.sh BUILD_DIR [MACHINES]
#
# Needs wrk, nginx, sqlite3, psql and PostgreSQL 15 (scripts/install-deps.sh
# bench). Not run by CI.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:?usage: run.sh BUILD_DIR [MACHINES]}" && pwd)
N=${2:-1000000}
PUSH=$BUILD/push/zav-push
LOAD=$BUILD/bench/push/push_load
for tool in wrk nginx sqlite3 psql; do
    command -v $tool >/dev/null || { echo "run.sh: $tool is missing (install-deps.sh bench)" >&2; exit 1; }
done
cmake --build "$BUILD" --target zav-push push_load >/dev/null || exit 1

WORK=$(mktemp -d /tmp/zav-push-bench.XXXXXX)
chmod 755 "$WORK" # the PostgreSQL server's user reaches its directory in it
PIDS=()
cleanup() {
    set +e
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    [ -f "$WORK/nginx/nginx.pid" ] && kill "$(cat "$WORK/nginx/nginx.pid")"
    bash "$ROOT/scripts/pg-test.sh" stop "$WORK/pg" >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT

echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GB, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "fleet: $N machines, 100 active campaigns"

# nginx: the ceiling of HTTP here, a fixed detect answer from memory.
mkdir -p "$WORK/nginx"
cat >"$WORK/nginx/nginx.conf" <<CONF
worker_processes 2;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 4096; }
http {
    access_log off;
    client_body_temp_path $WORK/nginx; proxy_temp_path $WORK/nginx;
    fastcgi_temp_path $WORK/nginx; uwsgi_temp_path $WORK/nginx; scgi_temp_path $WORK/nginx;
    server {
        listen 127.0.0.1:18460;
        location /push/channel/polling/detect {
            default_type application/json;
            return 200 '{"code":800,"data":0}\n';
        }
    }
}
CONF
nginx -c "$WORK/nginx/nginx.conf" -g 'daemon on;'

campaigns() { # ADMIN_PORT TOKEN: 100 campaigns, the last one for everyone
    for k in $(seq 1 100); do
        if [ "$k" -eq 100 ]; then audience='{}'; else
            audience="{\"products\":[\"P$((k % 10))\"],\"versionAtLeast\":\"$((k % 5))\",\"percent\":$(((k % 4 + 1) * 25))}"
        fi
        curl -sf -o /dev/null -H "Authorization: Bearer $2" -X POST \
            "http://127.0.0.1:$1/admin/campaigns" -d "{\"name\":\"c$k\",\"state\":\"active\",
             \"priority\":$k,\"audience\":$audience,\"message\":{\"title\":\"Campaign $k\",
             \"actions\":[{\"id\":\"a\",\"action\":\"Open\",\"url\":\"https://example.com/$k\"}]}}"
    done
}

serve() { # STORE PORT ADMIN_PORT: starts zav-push, its pid in SERVED
    "$PUSH" serve --db "$1" --listen "127.0.0.1:$2" --admin-listen "127.0.0.1:$3" \
        >"$WORK/serve-$2.log" 2>&1 &
    SERVED=$!
    PIDS+=("$SERVED")
    for _ in $(seq 1 100); do grep -qs listening "$WORK/serve-$2.log" && return; sleep 0.1; done
    cat "$WORK/serve-$2.log" >&2
    exit 1
}

wrk_detect() { # NAME PORT
    wrk -t2 -c64 -d3s -s "$ROOT/bench/push/detect.lua" "http://127.0.0.1:$2" >/dev/null # warm-up
    FLEET=$N wrk -t2 -c64 -d10s --latency -s "$ROOT/bench/push/detect.lua" \
        "http://127.0.0.1:$2" >"$WORK/wrk-$1.txt"
    printf '%-12s wrk -t2 -c64 -d10s: %s requests/s, p50 %s, p99 %s%s\n' "$1" \
        "$(awk '/Requests\/sec/ {print $2}' "$WORK/wrk-$1.txt")" \
        "$(awk '$1 == "50%" {print $2}' "$WORK/wrk-$1.txt")" \
        "$(awk '$1 == "99%" {print $2}' "$WORK/wrk-$1.txt")" \
        "$(awk '/Non-2xx/ {print ", non-2xx " $4}' "$WORK/wrk-$1.txt")"
}

measure() { # NAME STORE PORT ADMIN_PORT
    serve "$2" "$3" "$4"
    local pid=$SERVED
    campaigns "$4" "$TOKEN"
    # The steady state: detects measured once the detect view is read.
    for _ in $(seq 1 600); do grep -qs "detect view" "$WORK/serve-$3.log" && break; sleep 0.1; done
    echo "$1 $(grep -s "detect view" "$WORK/serve-$3.log" || echo "detect view: not read in 60 s")"
    wrk_detect "$1" "$3"
    echo "$1 RSS after the detect run: $(awk '/VmRSS/ {print $2 " " $3}' /proc/$pid/status)"
    echo "$1 fixed rate: $("$LOAD" rate "$3" 5000 10 "$N" | tr '\n' ' ')"
    echo "$1 messages: $("$LOAD" messages "$3" 10 64 1)"
    echo "$1 RSS at the end: $(awk '/VmRSS/ {print $2 " " $3}' /proc/$pid/status)"
    kill "$pid"; wait "$pid" 2>/dev/null || true
}

fill_sql() { # the machines as agents with a fingerprint left them
    cat <<SQL
INSERT INTO machines (mac, product, user_id, version, purchased, properties, fingerprint,
                      first_seen, last_seen)
SELECT 'M' || $1, 'P' || ($1 % 10), 'u' || $1, ($1 % 5) || '.' || ($1 % 10),
       CASE $1 % 3 WHEN 0 THEN 'Y' WHEN 1 THEN 'N' ELSE '' END, 'edition:' || ($1 % 4),
       'f' || $2, $3, $3
SQL
}

wrk_detect nginx 18460

# SQLite
now=$(date +%s)
"$PUSH" migrate --db "sqlite:$WORK/push.db" >/dev/null
start=$(date +%s.%N)
{ echo "PRAGMA journal_mode=WAL; BEGIN;"
  echo "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $N)"
  fill_sql i "printf('%07d', i)" "$now"; echo "FROM n; COMMIT;"; } | sqlite3 "$WORK/push.db"
echo "sqlite fill: $N machines in $(awk "BEGIN {print $(date +%s.%N) - $start}") s, file $(du -m "$WORK/push.db" | cut -f1) MB"
TOKEN=$("$PUSH" token add bench --role write --db "sqlite:$WORK/push.db")
measure sqlite "sqlite:$WORK/push.db" 18461 18462

# PostgreSQL
bash "$ROOT/scripts/pg-test.sh" start "$WORK/pg"
PG="postgresql:///postgres?host=$WORK/pg&user=zavpush"
"$PUSH" migrate --db "$PG" >/dev/null
start=$(date +%s.%N)
{ fill_sql i "lpad(i::text, 7, '0')" "$now"; echo "FROM generate_series(1, $N) AS i;"
  echo "ANALYZE;"; } | psql -q "$PG"
echo "postgresql fill: $N machines in $(awk "BEGIN {print $(date +%s.%N) - $start}") s"
TOKEN=$("$PUSH" token add bench --role write --db "$PG")
measure postgresql "$PG" 18463 18464

wrk_detect nginx-again 18460
