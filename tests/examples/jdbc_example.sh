#!/bin/sh
# Runs examples/jdbc.qs twice in a copy of the built server root, as the README's main command
# does: nothing configured, the embedded SQLite default. Both runs must print what
# jdbc_example.expected holds (the script rebuilds its table, and a second start of the server
# finds its driver table and database as the first left them).
set -eu
quill=$1 root=$2 script=$3 expected=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root"/QuillModules "$root"/JavaLibraries "$root"/JDBCDrivers "$work"/
for run in 1 2; do
  "$quill" --quiet --root "$work" run "$script" > "$work/out.txt"
  diff -u "$expected" "$work/out.txt"
done
test -f "$work/jdbc-data/example.db"
echo "jdbc example: output as expected on both starts"
