#!/bin/sh
# Runs an example script in a copy of the built server root (preferences persist in a root),
# also with -Xcheck:jni: the output must match the expected text and the VM's checks must
# report nothing.
set -eu
quill=$1 root=$2 script=$3 expected=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/root"
cp -r "$root"/QuillModules "$root"/JavaLibraries "$work/root"/
"$quill" --quiet --root "$work/root" run "$script" > "$work/out.txt"
diff -u "$expected" "$work/out.txt"
"$quill" --quiet --root "$work/root" --pref java_vm_options=-Xcheck:jni run "$script" > "$work/checked.txt" 2> "$work/err.txt"
diff -u "$expected" "$work/checked.txt"
if grep -E "WARNING|FATAL" "$work/err.txt"; then exit 1; fi
echo "$(basename "$script"): output as expected, nothing reported by -Xcheck:jni"
