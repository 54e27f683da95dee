# Sourced by the load benchmarks (http_load.sh, page_load.sh, page_count.sh, site_load.sh).

pids=()    # processes the script started, stopped by clean_up
pg_bin=""  # the cluster's server binaries and the user running them, set by start_pg_cluster
pg_as=()

# Waits for a line matching $2 in file $1 (a server's output) and prints it.
wait_for() {
  for _ in $(seq 600); do
    if grep -q "$2" "$1" 2>/dev/null; then grep -m1 "$2" "$1"; return; fi
    sleep 0.1
  done
  echo "no '$2' in $1" >&2; cat "$1" >&2; exit 1
}

# CPU ticks (user + system) of processes and their children, by pid.
ticks() {
  local total=0 pid
  for pid in "$@"; do
    for p in "$pid" $(pgrep -P "$pid" || true); do
      [ -r "/proc/$p/stat" ] && total=$(( total + $(awk '{ print $14 + $15 }' "/proc/$p/stat" 2>/dev/null || echo 0) ))
    done
  done
  echo "$total"
}
hz=$(getconf CLK_TCK)

# Times the threads of process $1 went to sleep (voluntary context switches), summed over them.
sleeps() {
  cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n + 0 }'
}

# Per thread of process $1: "tid name user_ticks system_ticks" (digits at the end of a thread's
# name dropped, so that a pool's threads add up under one name).
thread_ticks() {
  local t
  for t in /proc/"$1"/task/*; do
    echo "${t##*/} $(tr ' ' '_' < "$t/comm" 2>/dev/null | sed -E 's/[-_]?[0-9]+$//') $(awk '{ print $14, $15 }' "$t/stat" 2>/dev/null)"
  done
}

# What thread_ticks printed before ($1) and after ($2) a run of $3 requests, as "name user_us
# system_us" per request for each thread name that used at least 0.5 µs a request.
thread_split() {
  awk -v t="$3" -v hz="$hz" 'NR == FNR { u[$1] = $3; s[$1] = $4; next }
    NF == 4 { U[$2] += ($3 - u[$1]) * 1e6 / hz / t; S[$2] += ($4 - s[$1]) * 1e6 / hz / t }
    END { for (n in U) if (U[n] + S[n] >= 0.5) printf "%s %.1f %.1f\n", n, U[n], S[n] }' "$1" "$2" | sort -k2,2nr
}

# The figures of one `wrk --latency` run, read from its output on stdin: "rps p50_ms p99_ms errors
# requests wrk_cpu_s"; requests is at least 1, wrk_cpu_s comes from a "wrkcpu USER SYS" line
# (GNU time's) and is 0 without one.
wrk_summary() {
  awk '
    function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
    /^Requests\/sec/ { rps = $2 } /requests in/ { total = $1 }
    $1 == "50%" { p50 = ms($2) } $1 == "99%" { p99 = ms($2) }
    /Socket errors/ { gsub(",", ""); errors += $4 + $6 + $8 + $10 }
    /Non-2xx/ { errors += $NF }
    /^wrkcpu/ { w = $2 + $3 }
    END { printf "%.0f %.2f %.2f %d %d %.3f\n", rps, p50, p99, errors, (total > 0 ? total : 1), w }'
}

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# A private PostgreSQL cluster in $work/pg on a free port (user quill, password secret; at most $1
# connections, default 60): sets pg_bin, pg_as and pg_port. Fails when no server binaries are
# installed. The script's cleanup calls stop_pg_cluster.
start_pg_cluster() {
  for dir in /usr/lib/postgresql/*/bin; do [ -x "$dir/pg_ctl" ] && pg_bin=$dir; done
  [ -n "$pg_bin" ] || return 1
  mkdir -p "$work/pg"
  if [ "$(id -u)" = 0 ]; then chown postgres "$work/pg"; pg_as=(runuser -u postgres --); fi
  chmod 755 "$work"
  echo secret > "$work/pg/pw"; [ ${#pg_as[@]} -gt 0 ] && chown postgres "$work/pg/pw"
  pg_port=$(free_port)
  (cd / && "${pg_as[@]}" "$pg_bin/initdb" -D "$work/pg/data" -U quill --auth=scram-sha-256 --pwfile="$work/pg/pw" \
     -E UTF8 --locale=C.UTF-8 >"$work/pg/initdb.log" 2>&1)
  (cd / && "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" -l "$work/pg/server.log" -w start \
     -o "-p $pg_port -k $work/pg -c listen_addresses=127.0.0.1 -c max_connections=${1:-60}" >/dev/null)
}

# The benchmarks' exit: the processes in pids and the cluster (if one was started) stopped, and
# $work removed, however the script ends (an interrupt or a stop included).
clean_up() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  stop_pg_cluster
  rm -rf "$work"
}
clean_up_on_exit() {
  trap clean_up EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

stop_pg_cluster() {
  if [ -n "$pg_bin" ] && [ -f "$work/pg/data/postmaster.pid" ]; then
    (cd / && "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" -m fast -w stop >/dev/null 2>&1) || true
  fi
}

# The row pages' table t (id INTEGER PRIMARY KEY, a, b, c TEXT, a indexed) in database bench of
# source $1, filled by the INSERT statement $3; with $2, the database to run CREATE DATABASE bench
# on, and schema quill made in it. Runs "${quill[@]}", the caller's server command.
fill() {  # source, database for CREATE DATABASE (or empty), INSERT statement
  local on="-source='$1', -database='bench'"
  {
    [ -n "$2" ] && echo "db_statement(-source='$1', -database='$2', -sql='CREATE DATABASE bench')"
    [ -n "$2" ] && echo "db_statement($on, -sql='CREATE SCHEMA quill')"
    echo "db_statement($on, -sql='DROP TABLE IF EXISTS t')"
    echo "db_statement($on, -sql='CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b TEXT, c TEXT)')"
    echo "db_statement($on, -sql='CREATE INDEX t_a ON t (a)')"
    echo "db_statement($on, -sql=\"$3\") => { action_code() }"
  } > "$work/fill.qs"
  local code
  # A first connection of a VM that has not compiled the driver's login yet outlasts the default
  # wait on a loaded machine; the fill is not measured.
  code=$("${quill[@]}" --pref jdbc_connect_timeout=60000 run "$work/fill.qs")
  [ "$code" = 0 ] || { echo "filling $1 failed: $code" >&2; exit 1; }
}
