# Sourced by the load benchmarks (http_load.sh, page_load.sh).

# Waits for a line matching $2 in file $1 (a server's output) and prints it.
wait_for() {
  for _ in $(seq 600); do
    if grep -q "$2" "$1" 2>/dev/null; then grep -m1 "$2" "$1"; return; fi
    sleep 0.1
  done
  echo "no '$2' in $1" >&2; cat "$1" >&2; exit 1
}
