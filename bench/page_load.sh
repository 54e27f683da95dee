#!/usr/bin/env bash
# The page users write, under load: `quill serve` with its default settings running a page that
# searches a row by key through the JDBC connector and prints it, against the JDK's HttpServer
# with a HikariCP pool and a prepared statement doing the same, on SQLite and on a private
# PostgreSQL cluster; and an empty page (a script writing a line) against the JDK server writing
# the line. wrk runs each case in interleaved rounds (the two servers alternate which goes first)
# after a warm-up that is not counted; the table gives requests per second, p50 and p99 of each
# side and the ratio quill / JDK, then the range of each over the rounds.
# The percentiles are wrk's, which counts a stalled request again for each interval its connection
# would have sent another in: a run's p99 is set by its few longest stalls (docs/performance.md).
#
# Usage: bench/page_load.sh [BUILD_DIR] [SECONDS] [ROUNDS] [WORKERS] [CONNECTIONS] [QUILL OPTIONS...]
#        [serve SERVE OPTIONS...]
#   defaults: build 20 3 4 16; e.g. bench/page_load.sh build 20 3 4 16 --pref java_attach_scope=call,
#   bench/page_load.sh build 20 3 4 16 serve --http-threads 1
# PAGE_LOAD_TEXT_KEY=1 adds the same pages searching by a text column (`a`, indexed) instead.
# PAGE_LOAD_FLOOR=1 adds the PostgreSQL row page's floor: a page of one Java tag (bench_floor_row,
# in BenchTags.jar) doing the peer's own JDBC work inside `quill serve`, against the peer's row
# page. (Not on SQLite: its driver's native library binds to the connector's class loader first.)
# PAGE_LOAD_ONLY="CASE..." runs only those cases, named as the script names them: line, SQLite,
# PostgreSQL, text-NAME and floor-PostgreSQL (the last two with their options above); e.g.
# PAGE_LOAD_ONLY=PostgreSQL for the PostgreSQL row page alone.
# PAGE_LOAD_TAILS=1 adds a table of each counted run's tail: wrk's p99.9, p99.99 and longest
# request, and the PostgreSQL statements of that run that took the database 5 ms or more (its
# log_min_duration_statement), how many and the longest.
# Run by hand; never part of the test suite. The cluster and both servers are stopped however
# the script ends.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-20}
rounds=${3:-3}
workers=${4:-4}
connections=${5:-16}
shift $(( $# < 5 ? $# : 5 ))
global_options=()
while (( $# > 0 )) && [ "$1" != serve ]; do global_options+=("$1"); shift; done
(( $# > 0 )) && shift
serve_options=("$@")
command -v wrk >/dev/null || { echo "wrk is missing (scripts/setup.sh installs it)" >&2; exit 2; }
java_dir=/usr/share/java

work=$(mktemp -d /tmp/qjapi-page-load-XXXXXX)
# shellcheck source=bench/load_common.sh
. "$(dirname "$0")/load_common.sh"
clean_up_on_exit

# A copy of the build's server root (module, connector, drivers, libraries) with pages of its own.
cp -a "$build/root" "$work/root"
rm -rf "$work/root/web"
cp "$java_dir/postgresql.jar" "$work/root/JDBCDrivers/"  # the build lays out only the embedded default
mkdir -p "$work/web"
# The page's workers; serve runs one more, which no single page may take (docs/serving.md).
quill=("$build/bin/quill" --quiet --root "$work/root" --threads "$workers")
printf "'hello\\\\n'\n" > "$work/web/line.qs"
for source in SQLite PostgreSQL; do
  for key in id a; do
    cat > "$work/web/$([ $key = id ] && echo row || echo text)-$source.qs" <<PAGE
db_search(-source='$source', -database='bench', -table='t', -key='$key', -key_value=request_param('$key')) => {
  rows => { field('id') ' ' field('a') ' ' field('b') ' ' field('c') '\\n' }
}
PAGE
  done
done

# The table: 100,000 rows, the page reads one of them (fill: load_common.sh).
fill SQLite "" "INSERT INTO t WITH RECURSIVE s(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM s WHERE x < 100000) SELECT x, 'alpha' || x, 'beta' || x, 'gamma' || x FROM s"
peers=("SQLite=jdbc:sqlite:$work/root/jdbc-data/bench.db,,")
measured=(SQLite)

# A private PostgreSQL cluster on a free port, stopped by cleanup.
postmaster=""
if start_pg_cluster; then
  postmaster=$(head -1 "$work/pg/data/postmaster.pid")
  if [ -n "${PAGE_LOAD_TAILS:-}" ]; then
    printf "log_min_duration_statement = 5\nlog_line_prefix = '%%m [%%p] '\n" >> "$work/pg/data/postgresql.conf"
    (cd / && "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" reload >/dev/null)
  fi
  pg_url="jdbc:postgresql://127.0.0.1:$pg_port/"
  "${quill[@]}" --no-module host add PostgreSQL "$pg_url" quill secret >/dev/null
  fill PostgreSQL postgres "INSERT INTO t SELECT x, 'alpha' || x, 'beta' || x, 'gamma' || x FROM generate_series(1, 100000) x"
  peers+=("PostgreSQL=${pg_url}bench?currentSchema=quill,quill,secret")
  measured+=(PostgreSQL)
else
  echo "PostgreSQL not measured: no server binaries under /usr/lib/postgresql" >&2
fi

# The floor's page names the peer's own URL, user and password.
if [ -n "${PAGE_LOAD_FLOOR:-}" ] && [ -n "$postmaster" ]; then
  cp "$build/bench/BenchTags.jar" "$work/root/QuillModules/"
  IFS=, read -r url user password <<<"${peers[1]#*=}"
  echo "bench_floor_row('$url', '$user', '$password', $workers)" > "$work/web/floor-PostgreSQL.qs"
fi

"${quill[@]}" "${global_options[@]}" serve --port 0 --web "$work/web" --no-access-log "${serve_options[@]}" \
  > "$work/quill.out" 2>&1 &
quill_pid=$!
pids+=("$quill_pid")
quill_port=$(wait_for "$work/quill.out" "^Serving" | sed -E 's#^Serving http://[^ ]*:([0-9]+)/.*#\1#')
classpath="$build/bench/JdkHttpPeer.jar:$build/bench/BenchTags.jar:$build/root/QuillModules/QJAPI.jar"
for jar in HikariCP slf4j-api slf4j-nop sqlite-jdbc postgresql; do classpath+=":$java_dir/$jar.jar"; done
java -Dsun.net.httpserver.nodelay=true -Xms512m -Xmx512m -cp "$classpath" bench.JdkHttpPeer 0 "$workers" \
  "${peers[@]}" > "$work/jdk.out" 2>&1 &
jdk_pid=$!
pids+=("$jdk_pid")
jdk_port=$(wait_for "$work/jdk.out" "^port" | awk '{print $2}')

key=4242
expected="$key alpha$key beta$key gamma$key"
# A case is line, a database's name (the row by its integer key) or text-NAME (by its text).
quill_url() {
  case "$1" in
    line) echo "http://127.0.0.1:$quill_port/line.qs" ;;
    text-*) echo "http://127.0.0.1:$quill_port/$1.qs?a=alpha$key" ;;
    floor-*) echo "http://127.0.0.1:$quill_port/$1.qs?id=$key" ;;
    *) echo "http://127.0.0.1:$quill_port/row-$1.qs?id=$key" ;;
  esac
}
jdk_url() {
  case "$1" in
    line) echo "http://127.0.0.1:$jdk_port/line" ;;
    text-*) echo "http://127.0.0.1:$jdk_port/text/${1#text-}?a=alpha$key" ;;
    floor-*) echo "http://127.0.0.1:$jdk_port/row/${1#floor-}?id=$key" ;;
    *) echo "http://127.0.0.1:$jdk_port/row/$1?id=$key" ;;
  esac
}
case_name() {
  case "$1" in
    line) echo "empty page" ;; text-*) echo "row by text, ${1#text-}" ;; floor-*) echo "floor, ${1#floor-}" ;;
    *) echo "row, $1" ;;
  esac
}
databases=("${measured[@]}")
if [ -n "${PAGE_LOAD_TEXT_KEY:-}" ]; then
  for page in "${databases[@]}"; do measured+=("text-$page"); done
fi
if [ -n "${PAGE_LOAD_FLOOR:-}" ] && [ -n "$postmaster" ]; then measured+=(floor-PostgreSQL); fi
for page in "${measured[@]}"; do
  for url in "$(quill_url "$page")" "$(jdk_url "$page")"; do
    got=$(curl -fsS "$url") || { echo "$url failed" >&2; cat "$work/quill.out" >&2; exit 1; }
    [ "$got" = "$expected" ] || { echo "$url answered '$got', not '$expected'" >&2; exit 1; }
  done
done

# wrk's percentiles beyond its own 99th and its longest request, in ms, written to $TAIL_OUT.
tail_script=()
if [ -n "${PAGE_LOAD_TAILS:-}" ]; then
  cat > "$work/tail.lua" <<'LUA'
done = function(summary, latency, requests)
  local out = io.open(os.getenv("TAIL_OUT"), "w")
  out:write(string.format("%.2f %.2f %.2f\n", latency:percentile(99.9) / 1000, latency:percentile(99.99) / 1000,
                          latency.max / 1000))
  out:close()
end
LUA
  tail_script=(-s "$work/tail.lua")
fi
tail_tag=""  # "round|page|server" of the next counted run, for its line in $work/tails

# One wrk run against the server with pid $3: "rps p50_ms p99_ms errors cpu_us pg_us sleeps", then
# the CPU (user + system, from /proc) that server and the PostgreSQL cluster used per request, and
# how often the server's threads went to sleep per request. With a file as $4, the server's CPU per
# request by thread (thread_split) is written there. With PAGE_LOAD_TAILS and a tail_tag, the run's
# tail goes to $work/tails.
load() {
  local out s0 p0 s1 p1 v0 v1 logged=0
  [ -n "${4:-}" ] && thread_ticks "$3" > "$work/threads0"
  [ -n "${PAGE_LOAD_TAILS:-}" ] && [ -n "$postmaster" ] && logged=$(stat -c %s "$work/pg/server.log")
  s0=$(ticks "$3"); p0=$([ -n "$postmaster" ] && ticks "$postmaster" || echo 0); v0=$(sleeps "$3")
  out=$(TAIL_OUT="$work/tail" wrk -t2 -c"$connections" -d"${1}s" --timeout 10s --latency "${tail_script[@]}" "$2")
  s1=$(ticks "$3"); p1=$([ -n "$postmaster" ] && ticks "$postmaster" || echo 0); v1=$(sleeps "$3")
  if [ -n "${PAGE_LOAD_TAILS:-}" ] && [ -n "$tail_tag" ]; then
    local slow="0 -"
    [[ "$tail_tag" == *PostgreSQL* ]] && slow=$(tail -c +$(( logged + 1 )) "$work/pg/server.log" |
      awk '/ duration: / { n++; for (i = 1; i < NF; i++) if ($i == "duration:" && $(i + 1) > most) most = $(i + 1) }
           END { printf "%d %s\n", n, (n ? most : "-") }')
    echo "$tail_tag|$(cat "$work/tail")|$slow" >> "$work/tails"
  fi
  [ -n "${4:-}" ] && thread_ticks "$3" > "$work/threads1"
  local rps p50 p99 errors total
  read -r rps p50 p99 errors total _ < <(wrk_summary <<<"$out")
  [ -n "${4:-}" ] && thread_split "$work/threads0" "$work/threads1" "$total" > "$4"
  awk -v s=$(( s1 - s0 )) -v p=$(( p1 - p0 )) -v v=$(( v1 - v0 )) -v hz="$hz" -v t="$total" \
    -v head="$rps $p50 $p99 $errors" 'BEGIN { printf "%s %.0f %.0f %.2f\n", head, s * 1e6 / hz / t, p * 1e6 / hz / t, v / t }'
}

cases=(line "${measured[@]}")
if [ -n "${PAGE_LOAD_ONLY:-}" ]; then
  read -r -a only <<<"$PAGE_LOAD_ONLY"
  for page in "${only[@]}"; do
    [[ " ${cases[*]} " == *" $page "* ]] || { echo "PAGE_LOAD_ONLY: no case '$page' here (cases: ${cases[*]})" >&2; exit 2; }
  done
  cases=("${only[@]}")
fi
echo "Warm-up: ${seconds}s per case and server, not counted" >&2
for page in "${cases[@]}"; do
  load "$seconds" "$(quill_url "$page")" "$quill_pid" >/dev/null
  load "$seconds" "$(jdk_url "$page")" "$jdk_pid" >/dev/null
done

echo "wrk -t2 -c$connections, ${seconds}s a run, $rounds rounds, $workers workers each; quill options: ${global_options[*]:-(defaults)}, serve options: ${serve_options[*]:-(defaults)}"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| round | page | quill req/s | quill p50 ms | quill p99 ms | JDK req/s | JDK p50 ms | JDK p99 ms | ratio | errors q/J | CPU µs/req q/J | PostgreSQL µs/req q/J | sleeps/req q/J |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
results="$work/results"
for round in $(seq "$rounds"); do
  for page in "${cases[@]}"; do
    # The last round also splits each server's CPU by thread.
    qt=$( (( round == rounds )) && echo "$work/split-quill-$page" || true)
    jt=$( (( round == rounds )) && echo "$work/split-jdk-$page" || true)
    name=$(case_name "$page")
    if (( round % 2 )); then
      tail_tag="$round|$name|quill"
      read -r qr q50 q99 qe qc qp qs < <(load "$seconds" "$(quill_url "$page")" "$quill_pid" "$qt")
      tail_tag="$round|$name|JDK"
      read -r jr j50 j99 je jc jp js < <(load "$seconds" "$(jdk_url "$page")" "$jdk_pid" "$jt")
    else
      tail_tag="$round|$name|JDK"
      read -r jr j50 j99 je jc jp js < <(load "$seconds" "$(jdk_url "$page")" "$jdk_pid" "$jt")
      tail_tag="$round|$name|quill"
      read -r qr q50 q99 qe qc qp qs < <(load "$seconds" "$(quill_url "$page")" "$quill_pid" "$qt")
    fi
    ratio=$(awk -v q="$qr" -v j="$jr" 'BEGIN { printf "%.2f", (j > 0 ? q / j : 0) }')
    echo "| $round | $name | $qr | $q50 | $q99 | $jr | $j50 | $j99 | ${ratio}x | $qe/$je | $qc/$jc | $qp/$jp | $qs/$js |"
    echo "$name|$qr|$q99|$jr|$j99|$ratio|$qc|$jc" >> "$results"
  done
done
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| page | quill req/s | JDK req/s | ratio | quill p99 ms | JDK p99 ms | quill CPU µs/req | JDK CPU µs/req |"
echo "|---|---|---|---|---|---|---|---|"
awk -F'|' '
  function keep(k, v) { if (!(k in lo) || v < lo[k]) lo[k] = v; if (!(k in hi) || v > hi[k]) hi[k] = v }
  { if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 }
    keep($1 "q", $2); keep($1 "qp", $3); keep($1 "j", $4); keep($1 "jp", $5); keep($1 "r", $6); keep($1 "qc", $7); keep($1 "jc", $8) }
  END { for (i = 1; i <= n; i++) { p = order[i]
    printf "| %s | %s-%s | %s-%s | %s-%sx | %s-%s | %s-%s | %s-%s | %s-%s |\n", p, lo[p "q"], hi[p "q"], lo[p "j"],
      hi[p "j"], lo[p "r"], hi[p "r"], lo[p "qp"], hi[p "qp"], lo[p "jp"], hi[p "jp"], lo[p "qc"], hi[p "qc"],
      lo[p "jc"], hi[p "jc"] } }' "$results"
echo
echo "Each server's CPU per request by thread, round $rounds (user / system µs; threads under 0.5 µs left out):"
echo
echo "| page | server | thread | user µs/req | system µs/req |"
echo "|---|---|---|---|---|"
for page in "${cases[@]}"; do
  name=$(case_name "$page")
  for side in quill jdk; do
    while read -r thread user system; do
      echo "| $name | $([ "$side" = quill ] && echo quill || echo JDK) | $thread | $user | $system |"
    done < "$work/split-$side-$page"
  done
done
if [ -s "$work/tails" ]; then
  echo
  echo "Each run's tail (wrk's percentiles in ms; the database's statements of 5 ms or more in that run):"
  echo
  echo "| round | page | server | p99.9 ms | p99.99 ms | longest ms | statements ≥ 5 ms | longest statement ms |"
  echo "|---|---|---|---|---|---|---|---|"
  while IFS='|' read -r round name side wrk_tail slow; do
    read -r p999 p9999 most <<<"$wrk_tail"
    read -r statements longest <<<"$slow"
    echo "| $round | $name | $side | $p999 | $p9999 | $most | $statements | $longest |"
  done < "$work/tails"
fi
