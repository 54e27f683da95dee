#!/usr/bin/env bash
# Load on loopback with wrk: `quill serve` beside the JDK's HttpServer, for (a) a script that
# writes a line and (b) a script that calls an empty Java tag and writes the same line, at 1, 16
# and 256 connections. Prints a Markdown table (requests per second, p50 and p99 latency, errors).
#
# Usage: bench/http_load.sh [BUILD_DIR] [SECONDS_PER_RUN] [WORKER_THREADS] [QUILL PREFERENCES...]
#   e.g. bench/http_load.sh build 5 4 --pref java_attach_scope=thread
# Run by hand on an otherwise idle machine; never part of the test suite.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-5}
threads=${3:-4}
shift $(( $# < 3 ? $# : 3 ))
command -v wrk >/dev/null || { echo "wrk is missing (scripts/setup.sh installs it)" >&2; exit 2; }

work=$(mktemp -d)
# shellcheck source=bench/load_common.sh
. "$(dirname "$0")/load_common.sh"
clean_up_on_exit

# A server root with the bridge and the benchmark tags, and the two pages.
mkdir -p "$work/root/QuillModules" "$work/web"
cp "$build/root/QuillModules/libQJAPI.so" "$build/root/QuillModules/QJAPI.jar" "$build/bench/BenchTags.jar" \
  "$work/root/QuillModules/"
printf "'hello\\\\n'\n" > "$work/web/line.qs"
printf "bench_empty() 'hello\\\\n'\n" > "$work/web/empty.qs"

# Every page is one script and every connection comes from one address here: the script may use
# every worker and the address every connection, as with the JDK server.
"$build/bin/quill" --quiet --root "$work/root" --threads "$threads" "$@" serve --port 0 --web "$work/web" \
  --script-workers "$threads" --max-per-address 1024 --no-access-log > "$work/quill.out" 2>&1 &
pids+=($!)
quill_port=$(wait_for "$work/quill.out" "^Serving" | sed -E 's#^Serving http://[^ ]*:([0-9]+)/.*#\1#')

java -Dsun.net.httpserver.nodelay=true -cp "$build/bench/JdkHttpPeer.jar:$build/bench/BenchTags.jar:$build/root/QuillModules/QJAPI.jar" \
  bench.JdkHttpPeer 0 "$threads" > "$work/jdk.out" 2>&1 &
pids+=($!)
jdk_port=$(wait_for "$work/jdk.out" "^port" | awk '{print $2}')

# One wrk run: prints "rps | p50 | p99 | errors".
load() {
  local url=$1 connections=$2 wrk_threads=2
  [ "$connections" -lt 2 ] && wrk_threads=1
  local out
  out=$(wrk -t"$wrk_threads" -c"$connections" -d"${seconds}s" --timeout 10s --latency "$url")
  local rps p50 p99 socket non2xx
  rps=$(awk '/^Requests\/sec/ {print $2}' <<<"$out")
  p50=$(awk '$1 == "50%" {print $2}' <<<"$out")
  p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
  socket=$(awk '/Socket errors/ {gsub(",", ""); print $4 + $6 + $8 + $10}' <<<"$out")
  non2xx=$(awk '/Non-2xx/ {print $NF}' <<<"$out")
  echo "$rps | $p50 | $p99 | $(( ${socket:-0} + ${non2xx:-0} ))"
}

# Warm both up (the VM compiles the hot paths) before measuring.
wrk -t2 -c16 -d2s "http://127.0.0.1:$quill_port/empty.qs" >/dev/null
wrk -t2 -c16 -d2s "http://127.0.0.1:$jdk_port/empty" >/dev/null

echo "| case | connections | server | requests/s | p50 | p99 | errors |"
echo "|---|---|---|---|---|---|---|"
for page in line empty; do
  for connections in 1 16 256; do
    echo "| $page | $connections | quill serve | $(load "http://127.0.0.1:$quill_port/$page.qs" "$connections") |"
    echo "| $page | $connections | JDK HttpServer | $(load "http://127.0.0.1:$jdk_port/$page" "$connections") |"
  done
done
