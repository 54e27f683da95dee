#!/usr/bin/env bash
# Several servers as one site, under load: the key-search page of page_load.sh (a row of 100,000
# read by key through the JDBC connector from a private PostgreSQL cluster) and the empty page,
# measured with wrk in four set-ups:
#   file     one server, direct, internal database in its root's file (the single-server figure)
#   shared   one server, direct, internal database on the cluster (the cost of the shared database)
#   nginx-1  nginx in front of that server, with the configuration of docs/deployment.md
#   nginx-2  nginx in front of two such servers
# Beside requests per second and latency it reports the CPU each part used per request (quill
# servers, nginx, PostgreSQL, wrk; from /proc, in ms of CPU per request), from which
# docs/performance.md works out how the site scales.
#
# Usage: bench/site_load.sh [BUILD_DIR] [SECONDS] [ROUNDS] [WORKERS] [CONNECTIONS]
#   defaults: build 10 2 4 16
# Run by hand; never part of the test suite. The cluster, the servers and nginx are stopped and
# the folder removed however the script ends.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-10}
rounds=${3:-2}
workers=${4:-4}
connections=${5:-16}
here=$(cd "$(dirname "$0")" && pwd)
for tool in wrk nginx curl; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "$tool is missing (scripts/setup.sh)" >&2; exit 2; }
done
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d /tmp/qjapi-site-load-XXXXXX)
pids=()
pg_bin=""
pg_as=()
stop_nginx() { [ -f "$work/nginx/nginx.pid" ] && kill "$(cat "$work/nginx/nginx.pid")" 2>/dev/null; sleep 0.3; rm -f "$work/nginx/nginx.pid"; }
stop_servers() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  pids=()
}
cleanup() {
  stop_nginx || true
  stop_servers
  stop_pg_cluster
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# shellcheck source=bench/load_common.sh
. "$here/load_common.sh"

# The cluster: the data source's database bench and the site's internal database.
start_pg_cluster 100 || { echo "no PostgreSQL server binaries under /usr/lib/postgresql" >&2; exit 2; }
postmaster=$(head -1 "$work/pg/data/postmaster.pid")
export PGPASSWORD=secret
site_db="postgresql://quill@127.0.0.1:$pg_port/postgres"
jdbc_url="jdbc:postgresql://127.0.0.1:$pg_port/"

# Two roots from the build's, with the PostgreSQL driver; one web folder.
for name in a b; do
  cp -a "$build/root" "$work/root-$name"
  rm -rf "$work/root-$name/web"
  cp /usr/share/java/postgresql.jar "$work/root-$name/JDBCDrivers/"
done
mkdir -p "$work/web"
printf "'hello\\\\n'\n" > "$work/web/line.qs"
cat > "$work/web/row.qs" <<'PAGE'
db_search(-source='PostgreSQL', -database='bench', -table='t', -key='id', -key_value=request_param('id')) => {
  rows => { field('id') ' ' field('a') ' ' field('b') ' ' field('c') '\n' }
}
PAGE
quill() { local root=$1; shift; "$build/bin/quill" --quiet --root "$work/root-$root" --threads "$workers" "$@"; }
# The data source's host: in root a's file, and in the shared database.
quill a --no-module host add PostgreSQL "$jdbc_url" quill secret >/dev/null
quill a --internal-db "$site_db" --no-module host add PostgreSQL "$jdbc_url" quill secret >/dev/null
cat > "$work/fill.qs" <<'FILL'
db_statement(-source='PostgreSQL', -database='postgres', -sql='CREATE DATABASE bench')
db_statement(-source='PostgreSQL', -database='bench', -sql='CREATE SCHEMA quill')
db_statement(-source='PostgreSQL', -database='bench', -sql='CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b TEXT, c TEXT)')
db_statement(-source='PostgreSQL', -database='bench', -sql="INSERT INTO t SELECT x, 'alpha' || x, 'beta' || x, 'gamma' || x FROM generate_series(1, 100000) x") => { action_code() }
FILL
[ "$(quill a run "$work/fill.qs")" = 0 ] || { echo "filling the table failed" >&2; exit 1; }

serve() {  # root, internal database ("" for the file); sets port
  local root=$1 db=$2 args=()
  [ -n "$db" ] && args=(--internal-db "$db")
  rm -f "$work/serve-$root.out"
  # Started directly, not through the function, so that $! is the server's own process.
  "$build/bin/quill" --quiet --root "$work/root-$root" --threads "$workers" "${args[@]}" serve --port 0 --web "$work/web" --no-access-log --trusted-proxy 127.0.0.1 \
    --max-per-address 512 > "$work/serve-$root.out" 2>&1 &
  pids+=($!)
  port=$(wait_for "$work/serve-$root.out" "^Serving" | sed -E 's#^Serving http://[^ ]*:([0-9]+)/.*#\1#')
}

start_nginx() {  # port of server a, port of server b (or empty); prints nginx's port
  local port block
  port=$(free_port)
  mkdir -p "$work/nginx"
  block=$(awk '/^```nginx$/ { on = 1; next } on && /^```$/ { exit } on' "$here/../docs/deployment.md")
  block=${block//127.0.0.1:8080/127.0.0.1:$port}
  block=${block//127.0.0.1:8181/127.0.0.1:$1}
  if [ -n "$2" ]; then block=${block//127.0.0.1:8182/127.0.0.1:$2}; else block=$(grep -v '127.0.0.1:8182' <<<"$block"); fi
  {
    [ "$(id -u)" = 0 ] && echo "user root root;"
    echo "worker_processes 1; pid $work/nginx/nginx.pid; error_log $work/nginx/error.log;"
    echo "events { worker_connections 1024; }"
    echo "http { access_log off; client_body_temp_path $work/nginx/body; proxy_temp_path $work/nginx/proxy;"
    echo "fastcgi_temp_path $work/nginx/fastcgi; uwsgi_temp_path $work/nginx/uwsgi; scgi_temp_path $work/nginx/scgi;"
    echo "$block"
    echo "}"
  } > "$work/nginx/nginx.conf"
  "$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log"
  echo "$port"
}

# One wrk run with the CPU of each part: "rps p50_ms p99_ms errors quill_ms nginx_ms pg_ms wrk_ms"
# (CPU ms per request).
load() {  # seconds, url, nginx master pid or ""
  local out q0 n0 p0 q1 n1 p1
  q0=$(ticks "${pids[@]}"); n0=$([ -n "$3" ] && ticks "$3" || echo 0); p0=$(ticks "$postmaster")
  out=$( { /usr/bin/time -f "wrkcpu %U %S" wrk -t2 -c"$connections" -d"${1}s" --timeout 10s --latency "$2"; } 2>&1)
  q1=$(ticks "${pids[@]}"); n1=$([ -n "$3" ] && ticks "$3" || echo 0); p1=$(ticks "$postmaster")
  local rps p50 p99 errors total w
  read -r rps p50 p99 errors total w < <(wrk_summary <<<"$out")
  awk -v q=$(( q1 - q0 )) -v n=$(( n1 - n0 )) -v p=$(( p1 - p0 )) -v hz="$hz" -v t="$total" -v w="$w" \
    -v head="$rps $p50 $p99 $errors" 'BEGIN { printf "%s %.3f %.3f %.3f %.3f\n", head, q * 1000 / hz / t,
      n * 1000 / hz / t, p * 1000 / hz / t, w * 1000 / t }'
}

check() {  # url: the row page must answer the row
  local got
  got=$(curl -fsS "$1") || { echo "$1 failed" >&2; cat "$work"/serve-*.out >&2; exit 1; }
  [ "$got" = "4242 alpha4242 beta4242 gamma4242" ] || { echo "$1 answered '$got'" >&2; exit 1; }
}

results="$work/results"
measure() {  # set-up name, base URL, nginx pid or ""
  check "$2/row.qs?id=4242"
  for page in "row.qs?id=4242" line.qs; do load "$seconds" "$2/$page" "$3" >/dev/null; done  # warm-up
  for round in $(seq "$rounds"); do
    for page in "row.qs?id=4242" line.qs; do
      read -r rps p50 p99 errors qms nms pms wms < <(load "$seconds" "$2/$page" "$3")
      name=$([ "$page" = line.qs ] && echo "empty page" || echo "key search")
      echo "| $round | $1 | $name | $rps | $p50 | $p99 | $errors | $qms | $nms | $pms | $wms |"
      echo "$1|$name|$rps|$p99|$qms|$nms|$pms" >> "$results"
    done
  done
}

echo "wrk -t2 -c$connections, ${seconds}s a run after a warm-up, $rounds rounds, $workers workers a server; $(nproc) cores"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| round | set-up | page | req/s | p50 ms | p99 ms | errors | quill CPU ms/req | nginx | PostgreSQL | wrk |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
serve a ""
port_a=$port
measure file "http://127.0.0.1:$port_a" ""
stop_servers
serve a "$site_db"
port_a=$port
measure shared "http://127.0.0.1:$port_a" ""
nginx_port=$(start_nginx "$port_a" "")
measure nginx-1 "http://127.0.0.1:$nginx_port" "$(cat "$work/nginx/nginx.pid")"
stop_nginx
serve b "$site_db"
port_b=$port
nginx_port=$(start_nginx "$port_a" "$port_b")
measure nginx-2 "http://127.0.0.1:$nginx_port" "$(cat "$work/nginx/nginx.pid")"
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| set-up | page | req/s | p99 ms | quill CPU ms/req | nginx | PostgreSQL |"
echo "|---|---|---|---|---|---|---|"
awk -F'|' '
  function keep(k, v) { if (!(k in lo) || v < lo[k]) lo[k] = v; if (!(k in hi) || v > hi[k]) hi[k] = v }
  { k = $1 "|" $2; if (!(k in seen)) { seen[k] = 1; order[++n] = k }
    keep(k "r", $3); keep(k "p", $4); keep(k "q", $5); keep(k "n", $6); keep(k "g", $7) }
  END { for (i = 1; i <= n; i++) { k = order[i]; split(k, part, "|")
    printf "| %s | %s | %s-%s | %s-%s | %s-%s | %s-%s | %s-%s |\n", part[1], part[2], lo[k "r"], hi[k "r"],
      lo[k "p"], hi[k "p"], lo[k "q"], hi[k "q"], lo[k "n"], hi[k "n"], lo[k "g"], hi[k "g"] } }' "$results"
