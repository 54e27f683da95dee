#!/bin/sh
# Runs connector_sqlite.qs in a copy of the built server root with the fixture connector and
# Debian's SQLite JDBC driver: the script's output and the statements the server logged (the
# connector starts with debugging on) must be those of connector_example.expected.
set -eu
quill=$1 root=$2 script=$3 expected=$4 connector=$5 driver=$6 jni=$7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root"/QuillModules "$work"/
cp "$connector" "$work"/QuillModules/
mkdir "$work"/JDBCDrivers
cp "$driver" "$work"/JDBCDrivers/
QJAPI_SQLITE_DIR=$work QJAPI_SQLITE_DEBUG=1 "$quill" --root "$work" --pref java_lib_path="$jni" \
  run "$script" > "$work/out.txt" 2> "$work/log.txt" || { cat "$work/log.txt"; exit 1; }
echo "--- statements logged" >> "$work/out.txt"
sed -n 's/^\[2\] JDBC datasource "fx_sql_typed" SQL: //p' "$work/log.txt" >> "$work/out.txt"
diff -u "$expected" "$work/out.txt"
echo "connector example: output and statements as expected"
