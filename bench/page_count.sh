#!/usr/bin/env bash
# The instructions one run of page_load.sh's PostgreSQL row page costs, counted by callgrind:
# `quill run --repeat` runs the page on one worker with `quill serve`'s attachment, column and
# string settings against a private cluster; the count starts after a warm-up (the VM's compilers
# done with the page) and covers the next COUNT_SECONDS. Prints the instructions a run of the
# whole script and of its main parts, compiled Java named from the VM's perf map. Unlike a timed
# run, the count does not move with the machine's load; the VM's compiler moves it by a few
# hundred instructions from one count to the next.
#
# Usage: bench/page_count.sh [BUILD_DIR] [WARM_SECONDS] [COUNT_SECONDS]   (defaults build 45 110)
# PAGE_COUNT_OUT=DIR keeps the callgrind file and the perf map there. Run by hand; never part of
# the test suite. The cluster and the server are stopped however the script ends.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
warm=${2:-45}
count=${3:-110}
for tool in valgrind callgrind_control jcmd; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 2; }
done

work=$(mktemp -d /tmp/qjapi-page-count-XXXXXX)
# shellcheck source=bench/load_common.sh
. "$(dirname "$0")/load_common.sh"
clean_up_on_exit

cp -a "$build/root" "$work/root"
cp /usr/share/java/postgresql.jar "$work/root/JDBCDrivers/"
quill=("$build/bin/quill" --quiet --root "$work/root" --threads 1)
start_pg_cluster || { echo "no PostgreSQL server binaries under /usr/lib/postgresql" >&2; exit 2; }
"${quill[@]}" --no-module host add PostgreSQL "jdbc:postgresql://127.0.0.1:$pg_port/" quill secret >/dev/null
fill PostgreSQL postgres "INSERT INTO t SELECT x, 'alpha' || x, 'beta' || x, 'gamma' || x FROM generate_series(1, 100000) x"
# The login's SCRAM hashing in compiled code crashes the VM under valgrind: the counted server
# logs in without it.
sed -i 's/scram-sha-256/trust/' "$work/pg/data/pg_hba.conf"
(cd / && "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" reload >/dev/null)
cat > "$work/row.qs" <<'PAGE'
db_search(-source='PostgreSQL', -database='bench', -table='t', -key='id', -key_value=request_param('id')) => {
  rows => { field('id') ' ' field('a') ' ' field('b') ' ' field('c') '\n' }
}
PAGE

# Under valgrind the VM dies now and then in its start-up's CPU checks or its compiled math
# routines; exact signal state and no math intrinsics avoid most of it, and a start that still
# fails is tried again.
counted=""
for try in 1 2 3 4 5; do
  valgrind --tool=callgrind --vex-iropt-register-updates=allregs-at-mem-access --instr-atstart=no \
    --callgrind-out-file="$work/page.callgrind" \
    "${quill[@]}" --pref java_shared_strings=on --pref java_attach_scope=thread --pref java_column_cache=on \
    --pref "java_vm_options=-XX:+UnlockDiagnosticVMOptions -XX:-UseLibmIntrinsic" \
    run "$work/row.qs" --param id=4242 --repeat 100000000 >"$work/run.out" 2>"$work/valgrind.out" &
  counted=$!
  pids=("$counted")
  sleep 25
  kill -0 "$counted" 2>/dev/null && break
  wait "$counted" 2>/dev/null || true
  counted=""
  pids=()
  rm -f "$work"/root/hs_err_pid*.log
  echo "the VM did not start under valgrind (try $try)" >&2
done
[ -n "$counted" ] || exit 1
sleep $(( warm > 25 ? warm - 25 : 0 ))
callgrind_control -i on "$counted" >/dev/null 2>&1
sleep 8
jcmd "$counted" Compiler.perfmap >/dev/null  # methods compiled later are added by the second map
sleep "$count"
jcmd "$counted" Compiler.perfmap >/dev/null
callgrind_control -d "$counted" >/dev/null 2>&1
sleep 3
kill "$counted" 2>/dev/null || true
wait "$counted" 2>/dev/null || true
map="/tmp/perf-$counted.map"
pids=()
[ -s "$work/page.callgrind" ] || { echo "no count written" >&2; tail -20 "$work/valgrind.out" >&2; exit 1; }

callgrind_annotate --inclusive=yes --threshold=100 "$work/page.callgrind" > "$work/inclusive.txt"
python3 - "$work/page.callgrind" "$work/inclusive.txt" "$map" <<'PY'
import bisect, re, sys
counts, inclusive, perf_map = sys.argv[1:]
# Runs: the calls of RunProgram, from the call records of the callgrind file.
names, calls, callee = {}, {}, None
for line in open(counts):
    named = re.match(r'(c?fn)=\((\d+)\)(?: (.*))?', line)
    if named:
        kind, number, name = named.groups()
        if name: names[number] = name
        if kind == 'cfn': callee = number
        continue
    made = re.match(r'calls=(\d+)', line)
    if made and callee: calls[callee] = calls.get(callee, 0) + int(made.group(1))
runs = sum(calls.get(n, 0) for n, name in names.items() if name.startswith('quill_service::RunProgram('))
if runs == 0: sys.exit('no run of the page was counted')
methods = []
for line in open(perf_map):
    parts = line.split(' ', 2)
    if len(parts) == 3: methods.append((int(parts[0], 16), int(parts[1], 16), parts[2].strip()))
methods.sort()
starts = [m[0] for m in methods]
def java_name(address):
    at = bisect.bisect_right(starts, address) - 1
    return methods[at][2] if at >= 0 and address < methods[at][0] + methods[at][1] else None
totals = {}
for line in open(inclusive):
    row = re.match(r'\s*([\d,]+) \([\s\d.]+%\)\s+(.*)', line)
    if not row: continue
    ir, where = int(row.group(1).replace(',', '')), row.group(2)
    address = re.match(r'\?\?\?:(0x[0-9a-f]+)', where)
    name = (java_name(int(address.group(1), 16)) or where) if address else where
    totals[name] = max(totals.get(name, 0), ir)
parts = [('the page, a run', r'RunProgram\('), ('the search (JavaDataSource::Search)', r'JavaDataSource::Search\('),
         ('  its statement (ConnectorStatement)', r'ConnectorStatement\('),
         ('    the action read (ReadActionInput)', r'ReadActionInput\('), ('    SqlBuilder::Select', r'SqlBuilder::Select\('),
         ('  its Java value (NewStatementValue)', r'NewStatementValue\('),
         ('  the call into Java (InvokeJavaAction)', r'InvokeJavaAction\('),
         ('    the driver (executeInternal)', r'PgStatement\.executeInternal\('), ('    report', r'JDBCConnector\.report\('),
         ('    searchFacts0', r'searchFacts0\('), ('    Columns.fit', r'Columns\.fit\('),
         ('    tellKeptColumns', r'tellKeptColumns\('), ('    the connection (connect)', r'JDBCConnector\.connect\('),
         ("the rows' body (ScriptBody::Run)", r'ScriptBody::Run\(')]
print(f'{runs} runs counted; instructions a run:')
for label, pattern in parts:
    found = [ir for name, ir in totals.items() if re.search(pattern, name)]
    print(f'{max(found) / runs:9.0f}  {label}' if found else f'{"-":>9}  {label}')
PY
if [ -n "${PAGE_COUNT_OUT:-}" ]; then
  mkdir -p "$PAGE_COUNT_OUT"
  cp "$work/page.callgrind" "$map" "$PAGE_COUNT_OUT/"
fi
# jcmd's attach socket outlives a VM that is killed.
rm -f "$map" "/tmp/.java_pid$counted"
