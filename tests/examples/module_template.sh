#!/bin/sh
# quill module new as a module author uses it: each kind of project is made, built by its own
# build.sh against a copy of the built server root, and its JUnit tests run (each loads the module
# into a throwaway root and runs scripts against it). Then what must be refused.
set -eu
quill=$1 root=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/root"
cp -r "$root"/QuillModules "$root"/JavaLibraries "$work/root"/
for kind in tags datasource; do
  "$quill" --root "$work/root" module new "made_$kind" --$kind --dir "$work" > /dev/null
  "$work/made_$kind/build.sh" test > "$work/build_$kind.txt" 2>&1 || { cat "$work/build_$kind.txt"; exit 1; }
  [ -f "$work/root/QuillModules/made_$kind.jar" ] || { echo "$kind: the jar did not reach QuillModules/"; exit 1; }
  grep -q "^built target/made_$kind.jar into $work/root/QuillModules/" "$work/build_$kind.txt" &&
    grep -Eq "^\[ *[1-9][0-9]* tests successful *\]" "$work/build_$kind.txt" &&
    grep -Eq "^\[ *0 tests failed *\]" "$work/build_$kind.txt" ||
    { echo "$kind: build.sh reported"; cat "$work/build_$kind.txt"; exit 1; }
  echo "module new --$kind: built, deployed, first test passed"
done

# exit status | arguments | what
refused() {
  expected=$1; shift
  status=0
  "$quill" --root "$work/root" module "$@" > /dev/null 2> "$work/err.txt" || status=$?
  [ "$status" = "$expected" ] || { echo "module $*: exit $status, not $expected"; cat "$work/err.txt"; exit 1; }
}
echo "edited by hand" >> "$work/made_tags/README.md"
refused 1 new made_tags --tags --dir "$work"              # the project exists: nothing overwritten
refused 2 new Made --tags --dir "$work"                   # not a package name
refused 2 new made-x --tags --dir "$work"
refused 2 new made_y --dir "$work"                        # no kind
refused 2 new made_y --tags --datasource --dir "$work"    # two kinds
refused 2 old made_y --tags
[ ! -e "$work/made_y" ] && [ ! -e "$work/Made" ] || { echo "a refused command wrote a project"; exit 1; }
[ "$(tail -n 1 "$work/made_tags/README.md")" = "edited by hand" ] || { echo "the existing project was overwritten"; exit 1; }
echo "module new: bad names, kinds and existing projects refused"

# The data source's debug line (java.util.logging FINE) reaches the server's log at level 3 only
# when the VM options lower the threshold.
# VM options | expected stderr line count of the debug line
line="[3] [made_datasource.MadeDatasourceDataSource] added [1, apple]"
echo "db_add(-source='made_datasource', -table='items', ['id', 1], ['name', 'apple']) => { }" > "$work/add.qs"
for row in "-Dquill.log.level=debug|1" "-Dquill.log.level=3|1" "-Dquill.log.level=info|0" "-Dquill.log.level=bogus|0"; do
  options=${row%|*} expected=${row#*|}
  "$quill" --root "$work/root" --pref "java_vm_options=$options" run "$work/add.qs" > /dev/null 2> "$work/log.txt"
  count=$(grep -cxF "$line" "$work/log.txt" || true)
  [ "$count" = "$expected" ] || { echo "$options: the debug line was logged $count times, not $expected"; exit 1; }
done
echo "module logging: the threshold follows quill.log.level"
