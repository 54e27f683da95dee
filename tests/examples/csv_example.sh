#!/bin/sh
# Runs examples/csv.qs in a copy of the built server root: the script must print every action's
# result (compared with csv_example.expected) and leave the sample tables as they were, with no
# temporary file behind (the tables' lock files stay). Then two processes add to one table at
# once: every row either acknowledged must be in it, and the table keeps its file mode.
set -eu
quill=$1 root=$2 script=$3 expected=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root"/QuillModules "$root"/JavaLibraries "$work"/
cp -r "$(dirname "$script")"/csv-data "$work"/
"$quill" --quiet --root "$work" run "$script" > "$work/out.txt"
diff -u "$expected" "$work/out.txt"
diff -r -x '.*.lock' "$(dirname "$script")"/csv-data "$work"/csv-data
echo "csv example: output as expected, tables unchanged"

table="$work/csv-data/shop/items.csv"
chmod 640 "$table"
before=$(wc -l < "$table")
echo "db_add(-source='csv', -database='shop', -table='items', ['id', 100], ['name', 'added']) => { 'ok' }" \
  > "$work/add.qs"
adds=40
"$quill" --quiet --root "$work" --threads 2 run "$work/add.qs" --repeat $adds > /dev/null 2> "$work/first.err" &
first=$!
"$quill" --quiet --root "$work" --threads 2 run "$work/add.qs" --repeat $adds > /dev/null 2> "$work/second.err" || true
wait $first || true
for log in "$work/first.err" "$work/second.err"; do
  grep -q "^runs: $adds, failures: 0," "$log" || { echo "not every add was acknowledged:"; cat "$log"; exit 1; }
done
after=$(wc -l < "$table")
if [ "$after" -ne $((before + 2 * adds)) ]; then
  echo "two processes acknowledged $((2 * adds)) adds, the table grew by $((after - before)) rows"
  exit 1
fi
mode=$(stat -c %a "$table")
[ "$mode" = 640 ] || { echo "the table's mode changed from 640 to $mode"; exit 1; }
echo "csv example: $((2 * adds)) adds from two processes all kept, mode kept"
