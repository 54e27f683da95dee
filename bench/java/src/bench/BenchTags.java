package bench;

import com.ferngate.quillpro.IntValue;
import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillTagModule;
import com.ferngate.quillpro.QuillTypeRef;
import com.ferngate.quillpro.QuillValue;

/**
 * The tags the bridge benchmark calls: one that does nothing, one that echoes its parameter, the
 * value workloads (through the value natives, or through floor natives that make only the JNI
 * calls those natives make, registered by the benchmark), and a value whose member runs empty().
 */
public class BenchTags extends QuillTagModule implements Cloneable {
    static final int ELEMENTS = 10_000;
    static final int STRINGS = 100;
    static final String TEXT_4KIB = "abcdefghijklmnopqrstuvwxyz".repeat(158).substring(0, 4096);

    /** The natives a value workload calls. */
    interface Natives {
        int allocInteger(QuillTypeRef result, long value);
        int setElement(QuillTypeRef array, int index, QuillTypeRef element);
        int allocArray(QuillTypeRef result, QuillTypeRef[] elements);
        int getElement(QuillTypeRef array, int index, QuillTypeRef result);
        int getInteger(QuillTypeRef value, IntValue out);
        int allocString(QuillTypeRef result, String text);
        int getString(QuillTypeRef value, QuillValue out);
    }

    static Natives module(QuillCall c) {
        return new Natives() {
            public int allocInteger(QuillTypeRef r, long v) { return c.typeAllocInteger(r, v); }
            public int setElement(QuillTypeRef a, int i, QuillTypeRef e) { return c.arraySetElement(a, i, e); }
            public int allocArray(QuillTypeRef r, QuillTypeRef[] e) { return c.typeAllocArray(r, e); }
            public int getElement(QuillTypeRef a, int i, QuillTypeRef r) { return c.arrayGetElement(a, i, r); }
            public int getInteger(QuillTypeRef v, IntValue o) { return c.typeGetInteger(v, o); }
            public int allocString(QuillTypeRef r, String t) { return c.typeAllocString(r, t); }
            public int getString(QuillTypeRef v, QuillValue o) { return c.typeGetString(v, o); }
        };
    }

    static Natives floor(QuillCall c) {
        return new Natives() {
            public int allocInteger(QuillTypeRef r, long v) { return floorHandle(c, r, v); }
            public int setElement(QuillTypeRef a, int i, QuillTypeRef e) { return floorSetElement(c, a, i, e); }
            public int allocArray(QuillTypeRef r, QuillTypeRef[] e) { return floorArray(c, r, e); }
            public int getElement(QuillTypeRef a, int i, QuillTypeRef r) { return floorGetElement(c, a, i, r); }
            public int getInteger(QuillTypeRef v, IntValue o) { return floorGetInteger(c, v, o); }
            public int allocString(QuillTypeRef r, String t) { return floorString(c, r, t); }
            public int getString(QuillTypeRef v, QuillValue o) { return floorGetString(c, v, o); }
        };
    }

    // Floor natives, bound by bridge_bench: the JNI calls of the value natives, without the host.
    static native int floorHandle(QuillCall call, QuillTypeRef result, long value);
    static native int floorSetElement(QuillCall call, QuillTypeRef array, int index, QuillTypeRef element);
    static native int floorArray(QuillCall call, QuillTypeRef result, QuillTypeRef[] elements);
    static native int floorGetElement(QuillCall call, QuillTypeRef array, int index, QuillTypeRef result);
    static native int floorGetInteger(QuillCall call, QuillTypeRef value, IntValue out);
    static native int floorString(QuillCall call, QuillTypeRef result, String text);
    static native int floorGetString(QuillCall call, QuillTypeRef value, QuillValue out);

    /** One workload: "element", "whole", "read" (whole, then every element read back) or "string". */
    static int workload(Natives n, String mode) {
        int failed = 0;
        if (mode.equals("string")) {
            QuillTypeRef text = new QuillTypeRef();
            QuillValue out = new QuillValue();
            for (int i = 0; i < STRINGS; i++) {
                failed |= n.allocString(text, TEXT_4KIB);
                failed |= n.getString(text, out);
            }
            return failed;
        }
        QuillTypeRef array = new QuillTypeRef();
        if (mode.equals("element")) {
            failed |= n.allocArray(array, null);
            for (int i = 0; i < ELEMENTS; i++) {
                QuillTypeRef element = new QuillTypeRef();
                failed |= n.allocInteger(element, i);
                failed |= n.setElement(array, i, element);
            }
            return failed;
        }
        QuillTypeRef[] elements = new QuillTypeRef[ELEMENTS];
        for (int i = 0; i < ELEMENTS; i++) {
            elements[i] = new QuillTypeRef();
            failed |= n.allocInteger(elements[i], i);
        }
        failed |= n.allocArray(array, elements);
        if (mode.equals("read")) {
            QuillTypeRef element = new QuillTypeRef();
            IntValue number = new IntValue();
            for (int i = 0; i < ELEMENTS; i++) {
                failed |= n.getElement(array, i, element);
                failed |= n.getInteger(element, number);
            }
        }
        return failed;
    }

    private static String mode(QuillCall call) {
        QuillValue mode = new QuillValue();
        call.getTagParam(0, mode);
        return mode.data == null ? "" : mode.data;
    }

    public int values(QuillCall call, int argument) {
        return workload(module(call), mode(call));
    }

    public int valuesFloor(QuillCall call, int argument) {
        return workload(floor(call), mode(call));
    }

    /**
     * A value of type bench_counter carrying a BenchTags object, whose member get runs empty();
     * the member tag is added again as onassign, so that the copy returned to the host gets a clone.
     */
    public int counter(QuillCall call, int argument) {
        QuillTypeRef value = new QuillTypeRef();
        QuillTypeRef tag = new QuillTypeRef();
        int code = call.typeAllocCustom(value, "bench_counter");
        code = code != 0 ? code : call.typeAllocTag(tag, "bench/BenchTags", "empty");
        code = code != 0 ? code : call.typeAddMember(value, "get", tag);
        code = code != 0 ? code : call.typeAddMember(value, "onassign", tag);
        code = code != 0 ? code : call.typeSetCustomJavaObject(value, new BenchTags());
        return code != 0 ? code : call.returnTagValue(value);
    }

    public BenchTags() {
    }

    @Override
    public void registerModule() {
        registerTag("bench_empty", "empty", "returns 0 and does nothing else");
        registerTag("bench_echo", "echo", "writes its first parameter to the output");
        registerTag("bench_request_param", "requestParam", "writes the request parameter named p");
        registerTag("bench_values", "values", "a value workload through the value natives");
        registerTag("bench_values_floor", "valuesFloor", "the same workload through the floor natives");
        registerTag("bench_counter", "counter", "a value whose member get runs on its Java object");
    }

    public int empty(QuillCall call, int argument) {
        return 0;
    }

    // A fresh QuillValue per call, as module authors write it.
    public int echo(QuillCall call, int argument) {
        QuillValue param = new QuillValue();
        int code = call.getTagParam(0, param);
        if (code != 0) {
            return code;
        }
        return call.outputTagData(param.data);
    }

    // The host's 8-bit record path: a request parameter read by name.
    public int requestParam(QuillCall call, int argument) {
        QuillValue param = new QuillValue("p", null, 0);
        int code = call.getRequestParam(0, param);
        if (code != 0) {
            return code;
        }
        return call.outputTagData(param.data);
    }
}
