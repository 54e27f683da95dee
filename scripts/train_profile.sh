#!/usr/bin/env bash
# Runs a server built with -DQJAPI_PROFILE=generate through the work a server does most, so that
# the counts it writes into the build's profile folder guide the optimised build
# (scripts/build.sh): the example scripts (Java tags, data sources, a Java type, the connector's
# record actions), a page searching a row by key and an empty page, each run many times with
# `quill run` and then served over HTTP by `quill serve` under load. Everything runs on a copy of the
# build's server root under /tmp, removed at the end.
#
# Usage: scripts/train_profile.sh BUILD_DIR
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: train_profile.sh BUILD_DIR}" && pwd)
work=$(mktemp -d /tmp/qjapi-train-XXXXXX)
server=""
cleanup() {
  if [ -n "$server" ]; then kill -INT "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
# shellcheck source=bench/load_common.sh
. "$repo/bench/load_common.sh"

cp -a "$build/root" "$work/root"
rm -rf "$work/root/web"
mkdir "$work/web"
# Each run is bounded, so that a fault in the build under training cannot hold the build up.
quill=(timeout 300 "$build/bin/quill" --quiet --root "$work/root" --threads 2 --stop-timeout 5)
# What `serve` runs with by default, for the runs of `quill run`.
served=(--pref java_attach_scope=thread --pref java_column_cache=on --pref java_shared_strings=on)

on="-source='SQLite', -database='train'"
cat > "$work/fill.qs" <<FILL
db_statement($on, -sql='DROP TABLE IF EXISTS t')
db_statement($on, -sql='CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b TEXT, c TEXT)')
db_statement($on, -sql="INSERT INTO t WITH RECURSIVE s(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM s WHERE x < 1000) SELECT x, 'alpha' || x, 'beta' || x, 'gamma' || x FROM s") => { action_code() }
FILL
[ "$("${quill[@]}" run "$work/fill.qs")" = 0 ] || { echo "train_profile: filling the table failed" >&2; exit 1; }
cat > "$work/web/row.qs" <<PAGE
db_search($on, -table='t', -key='id', -key_value=request_param('id')) => {
  rows => { field('id') ' ' field('a') ' ' field('b') ' ' field('c') '\\n' }
}
PAGE
printf "'hello\\\\n'\n" > "$work/web/line.qs"

for example in hello services csv jdbc money; do
  "${quill[@]}" run "$repo/examples/$example.qs" > /dev/null
done
"${quill[@]}" "${served[@]}" run "$work/web/row.qs" --param id=42 --repeat 2000 > /dev/null
"${quill[@]}" "${served[@]}" run "$work/web/line.qs" --repeat 2000 > /dev/null

"${quill[@]:2}" serve --port 0 --web "$work/web" --no-access-log > "$work/serve.out" 2>&1 &
server=$!
port=$(wait_for "$work/serve.out" "^Serving" | sed -E 's#^Serving http://[^ ]*:([0-9]+)/.*#\1#')
# Served under load as a site is (wrk, which scripts/setup.sh installs), else by one curl over one
# kept-alive connection.
if command -v wrk > /dev/null; then
  wrk -t2 -c16 -d6s "http://127.0.0.1:$port/row.qs?id=42" > /dev/null
  wrk -t2 -c16 -d2s "http://127.0.0.1:$port/line.qs" > /dev/null
else
  urls=()
  for i in $(seq 2000); do urls+=("http://127.0.0.1:$port/row.qs?id=$(( i % 1000 + 1 ))" "http://127.0.0.1:$port/line.qs"); done
  curl -fsS --max-time 120 "${urls[@]}" > /dev/null
fi
# A stop signal ends the server through the path that writes the counts.
kill -INT "$server"
wait "$server" || true
server=""
