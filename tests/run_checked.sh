#!/bin/sh
# Runs a test program started with -Xcheck:jni and fails when it fails or when the VM complained:
# the VM has no switch that makes its JNI warnings fatal.
log=$(mktemp) || exit 1
trap 'rm -f "$log"' EXIT
"$@" >"$log" 2>&1
status=$?
cat "$log"
[ "$status" -eq 0 ] || exit "$status"
if grep -e 'WARNING in native method' -e 'FATAL ERROR in native method' -e 'WARNING: JNI local refs' "$log" >/dev/null; then
  echo "run_checked.sh: -Xcheck:jni reported a JNI misuse:" >&2
  grep -n -e 'WARNING in native method' -e 'FATAL ERROR in native method' -e 'WARNING: JNI local refs' "$log" >&2
  exit 1
fi
exit 0
