#!/bin/sh
# quill serve --reload: a module jar replaced under the running server answers with its new code
# on the next request (its tag, its data source and the members of its type registered anew)
# while a request already running keeps the old classes for all its calls; the log says so, a
# changed bridge jar is not reloaded, and an unreadable jar is named once. A value that request
# saved before the reload and restores after it keeps its state. The old data source gets its
# last action once that request has ended. What a module prints goes into serve's log.
set -eu
quill=$1 root=$2
work=$(mktemp -d /tmp/qjapi-reload-XXXXXX)
pid=
cleanup() {
  [ -z "$pid" ] || kill -KILL -"$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
mkdir -p "$work/root/QuillModules" "$work/root/web" "$work/src/rl" "$work/classes/META-INF/services"
cp "$root"/QuillModules/libQJAPI.so "$root"/QuillModules/QJAPI.jar "$work/root/QuillModules/"
cat > "$work/src/rl/RlTags.java" <<'EOF'
package rl;

import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillDSModule;
import com.ferngate.quillpro.QuillTagModule;
import com.ferngate.quillpro.QuillTypeRef;
import com.ferngate.quillpro.QuillValue;

public class RlTags extends QuillTagModule implements Cloneable, java.io.Serializable {
    // Read from the jar's resource, so a reloaded class must find its own jar's copy.
    static final String VERSION = version();

    private static String version() {
        try (java.io.InputStream in = RlTags.class.getResourceAsStream("version.txt")) {
            return new String(in.readAllBytes()).trim();
        } catch (java.io.IOException e) {
            throw new java.io.UncheckedIOException(e);
        }
    }

    @Override
    public void registerModule() {
        registerTag("rl_version", "version", "rl_version(gate): the version, once the file gate exists");
        registerTag("rl_value", "value", "rl_value(state): a value whose member ver answers with the version and state");
    }

    private String state = "";

    public int value(QuillCall call, int argument) {
        QuillTypeRef value = new QuillTypeRef();
        QuillTypeRef member = new QuillTypeRef();
        // A state of "-" makes a value of another type without an object and callbacks: its member
        // runs on fresh instances.
        boolean bare = call.param(0).equals("-");
        int code = call.typeAllocCustom(value, bare ? "rlb" : "rlv");
        if (code == 0) code = call.typeAllocTag(member, "rl/RlTags", "member");
        // Added as ver, the tag is no longer pending: under the callbacks' names the built-ins run.
        for (String name : bare ? new String[] {"ver"} : new String[] {"ver", "onassign", "onserialize", "onunserialize"}) {
            if (code == 0) code = call.typeAddMember(value, name, member);
        }
        RlTags object = new RlTags();
        object.state = call.param(0);
        if (code == 0 && !bare) code = call.typeSetCustomJavaObject(value, object);
        return code != 0 ? code : call.returnTagValue(value);
    }

    public int member(QuillCall call, int argument) {
        return call.returnTagValueString("member " + VERSION + state);
    }

    @Override
    public RlTags clone() throws CloneNotSupportedException {
        return (RlTags) super.clone();
    }

    // With a file name: marks the call as started (NAME.started), then waits for NAME to exist.
    public int version(QuillCall call, int argument) throws Exception {
        String gate = call.param(0);
        if (!gate.isEmpty()) {
            java.nio.file.Files.writeString(java.nio.file.Path.of(gate + ".started"), "started");
            while (!java.nio.file.Files.exists(java.nio.file.Path.of(gate))) Thread.sleep(10);
        }
        call.runRequest("rl/RlTags", "answered", 1, 0);  // the class as this module's code names it
        return call.print("tag " + VERSION);
    }

    public int answered(QuillCall call, int argument) {
        System.out.println("rl_version answered " + VERSION);
        return 0;
    }

    public static class Source extends QuillDSModule {
        @Override
        public void registerModule() {
            registerDataSource("rl", "action");
        }

        public int action(QuillCall call, int action, QuillValue value) {
            if (action == ACTION_TERMINATE) System.out.println("rl source " + VERSION + " ended");
            return action == ACTION_LIST_TABLES ? call.addDataSourceResult("table " + VERSION) : 0;
        }
    }
}
EOF
printf 'rl.RlTags\nrl.RlTags$Source\n' > "$work/classes/META-INF/services/com.ferngate.quillpro.QuillJavaModule"
javac --release 17 -cp "$work/root/QuillModules/QJAPI.jar" -d "$work/classes" "$work/src/rl/RlTags.java"
# Builds version $1 as $work/rl-$1.jar.
build() {
  echo "$1" > "$work/classes/rl/version.txt"
  jar --create --file "$work/rl-$1.jar" -C "$work/classes" .
}
# Puts version $1 in place the way a build should: a new file renamed over the old.
deploy() {
  cp "$work/rl-$1.jar" "$work/root/QuillModules/.rl.jar.new"
  mv "$work/root/QuillModules/.rl.jar.new" "$work/root/QuillModules/rl.jar"
}
build v1
build v2
deploy v1
# The value saved before the gate is restored after it, before this request registers the type's
# members again: in the request in flight they are the next request's (v2) by then.
cat > "$work/root/web/v.qs" <<'EOF'
var saved = rl_value(' kept')->serialize()
rl_version(request_param('gate')) ' ' unserialize($saved)->ver() ' ' rl_version('') ' '
db_tables(-source='rl') => { rows => { field('name') } } ' ' rl_value('')->ver() ' ' rl_value('-')->ver()
EOF

setsid "$quill" --root "$work/root" --pref java_vm_options=-Dquill.module.reload.interval=100 \
  serve --port 0 --reload > "$work/out" 2> "$work/log" &
pid=$!
# Waits up to 60 s, while the server runs, for the file $1 to hold the text $2.
wait_for() {
  for _ in $(seq 600); do
    grep -qF "$2" "$1" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "no \"$2\" in $1"; cat "$work/log"; exit 1
}
wait_for "$work/out" "Serving http://"
url=$(sed -n 's/^Serving \(http:[^ ]*\) .*/\1/p' "$work/out")
[ "$(curl -sS "${url}v.qs")" = "tag v1 member v1 kept tag v1 table v1 member v1 member v1" ] || { echo "v1 not served"; exit 1; }
wait_for "$work/log" "[2] [stdout] rl_version answered v1"    # serve sends System.out to the log

curl -sS "${url}v.qs?gate=$work/gate" > "$work/slow" &
slow=$!
wait_for "$work/gate.started" started
deploy v2
wait_for "$work/log" "rl.jar is served to requests from now on"
[ "$(curl -sS "${url}v.qs")" = "tag v2 member v2 kept tag v2 table v2 member v2 member v2" ] || { echo "the next request did not get v2"; exit 1; }
wait_for "$work/log" "[2] [stdout] rl_version answered v2"
grep -qF "rl source v1 ended" "$work/log" && { echo "v1's source ended under the request holding it"; exit 1; }
touch "$work/gate"
wait $slow
# Its calls made after the reload, of the tag and of the data source, still find v1; the value it
# restored runs the member registered last (v2's) on its own state.
[ "$(cat "$work/slow")" = "tag v1 member v2 kept tag v1 table v1 member v1 member v1" ] || { echo "the request in flight: $(cat "$work/slow")"; exit 1; }
# The replaced source gets its last action once that request, its last user, has ended.
wait_for "$work/log" "[2] [stdout] rl source v1 ended"
echo "reload: the next request got the new tag and data source; the one in flight kept the old"

touch "$work/root/QuillModules/QJAPI.jar"
wait_for "$work/log" "QJAPI.jar changed; the bridge's own classes are not reloaded"
[ "$(curl -sS "${url}v.qs")" = "tag v2 member v2 kept tag v2 table v2 member v2 member v2" ] || { echo "a touched bridge jar changed the answers"; exit 1; }
echo "reload: a changed bridge jar is logged and left alone"

# A jar that cannot be read is tried again and again, but named once until it changes.
echo junk > "$work/bad.jar" && mv "$work/bad.jar" "$work/root/QuillModules/bad.jar"
wait_for "$work/log" "cannot read bad.jar"
sleep 1.5
[ "$(grep -c "cannot read bad.jar" "$work/log")" = 1 ] || { echo "an unreadable jar was logged again and again"; exit 1; }
echo "reload: an unreadable jar is logged once"
