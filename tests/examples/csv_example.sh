#!/bin/sh
# Runs examples/csv.qs in a copy of the built server root: the script must print every action's
# result (compared with csv_example.expected) and leave the sample tables as they were, with no
# temporary file behind.
set -eu
quill=$1 root=$2 script=$3 expected=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root"/QuillModules "$root"/JavaLibraries "$work"/
cp -r "$(dirname "$script")"/csv-data "$work"/
"$quill" --quiet --root "$work" run "$script" > "$work/out.txt"
diff -u "$expected" "$work/out.txt"
diff -r "$(dirname "$script")"/csv-data "$work"/csv-data
echo "csv example: output as expected, tables unchanged"
