#!/usr/bin/env bash
# Drives the bridge's natives with mutated arguments inside a running server for a while:
#   scripts/fuzz_natives.sh [MINUTES] [SEED] [CALLS_PER_RUN]
# (defaults 10, 1, 20000). Needs a build (./scripts/build.sh). The server runs the fixture tag
# fz_fuzz (tests/fixtures/java/native-walk) over and over on one worker thread, run k with seed
# SEED + k, under -Xcheck:jni (CHECK_JNI=0 leaves it off); a SIGTERM ends it after MINUTES. Prints
# the totals and exits non-zero when the server crashed, a native threw or the VM warned.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
seed=${2:-1}
calls=${3:-20000}
build=${BUILD_DIR:-build}
work=$(mktemp -d "${TMPDIR:-/tmp}/qjapi-fuzz-XXXXXX")
mkdir -p "$work/root/QuillModules"
cp "$build/root/QuillModules/libQJAPI.so" "$build/root/QuillModules/QJAPI.jar" \
   "$build/fixtures/NativeWalk/NativeWalk.jar" "$work/root/QuillModules/"
echo "fz_fuzz($seed, $calls)" > "$work/fuzz.qs"
options=-Xcheck:jni
[ "${CHECK_JNI:-1}" = 0 ] && options=
started=$(date +%s)
"$build/bin/quill" --root "$work/root" --threads 1 --pref "java_vm_options=$options" \
  run "$work/fuzz.qs" --repeat 1000000000 >"$work/out" 2>"$work/err" &
server=$!
# One SIGTERM to the server alone (timeout(1) would also signal the group: a second signal).
for (( waited = 0; waited < minutes * 60; waited++ )); do
  kill -0 "$server" 2>/dev/null || break
  sleep 1
done
kill -TERM "$server" 2>/dev/null || true
set +e
wait "$server"
status=$?
set -e
elapsed=$(( $(date +%s) - started ))
warnings=$(cat "$work/out" "$work/err" | grep -a -c -e "WARNING in native method" -e "FATAL ERROR in native method" \
  -e "WARNING: JNI local refs" || true)
awk -v status="$status" -v elapsed="$elapsed" -v warnings="$warnings" -v logfile="$work/err" '
  /^fuzz seed / { runs++; calls += $4; ok += $6; refused += $8; threw += $10; natives = $12; missing = substr($14, 2) }
  /^THREW / { print }
  END {
    printf "runs %d, native calls %d (%d ok, %d refused, %d threw), natives driven %d of %d,\n",
      runs, calls, ok, refused, threw, natives - missing, natives
    printf "%d s, exit status %d (143: stopped by the timer), VM warnings %d; log %s\n", elapsed, status, warnings, logfile
    exit (status != 143 || runs == 0 || threw != 0 || warnings != 0) ? 1 : 0
  }' "$work/err"
