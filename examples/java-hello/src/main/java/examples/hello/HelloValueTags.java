package examples.hello;

import com.ferngate.quillpro.IntValue;
import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillTagModule;
import com.ferngate.quillpro.QuillTypeRef;
import com.ferngate.quillpro.QuillValue;

/**
 * Tags that hand structured script values to the script and read them back: an array of maps, a
 * pair, a value of a custom type with a parent, and a tag that describes the value it is given.
 */
public class HelloValueTags extends QuillTagModule {
    @Override
    public void registerModule() {
        registerTag("hello_people", "people", "Returns an array of maps, one per person");
        registerTag("hello_pair", "pair", "Returns the pair (parameter 1, parameter 2)");
        registerTag("hello_point", "point", "Returns a value of the custom type point, whose parent is shape");
        registerTag("hello_describe", "describe", "Writes the type, size and elements of its parameter");
    }

    private static QuillTypeRef text(QuillCall call, String text) {
        QuillTypeRef ref = new QuillTypeRef();
        call.typeAllocString(ref, text);
        return ref;
    }

    private static QuillTypeRef integer(QuillCall call, long number) {
        QuillTypeRef ref = new QuillTypeRef();
        call.typeAllocInteger(ref, number);
        return ref;
    }

    /** [hello_people] returns [{name: Ada, born: 1815}, {name: Grace, born: 1906}]. */
    public int people(QuillCall call, int argument) {
        String[] names = {"Ada", "Grace"};
        long[] born = {1815, 1906};
        QuillTypeRef[] rows = new QuillTypeRef[names.length];
        for (int i = 0; i < names.length; i++) {
            rows[i] = new QuillTypeRef();
            int code = call.typeAllocMap(rows[i], new QuillTypeRef[] {text(call, "name"), text(call, "born")},
                    new QuillTypeRef[] {text(call, names[i]), integer(call, born[i])});
            if (code != 0) {
                return code;
            }
        }
        QuillTypeRef array = new QuillTypeRef();
        int code = call.typeAllocArray(array, rows);
        return code != 0 ? code : call.returnTagValue(array);
    }

    /** [hello_pair: 'a', 'b'] returns the pair (a, b); the parameters keep their kinds. */
    public int pair(QuillCall call, int argument) {
        QuillTypeRef first = new QuillTypeRef();
        QuillTypeRef second = new QuillTypeRef();
        call.getTagParam2(0, first);
        call.getTagParam2(1, second);
        QuillTypeRef pair = new QuillTypeRef();
        int code = call.typeAllocPair(pair, first, second);
        return code != 0 ? code : call.returnTagValue(pair);
    }

    /** [hello_point] returns a value of type point whose parent, of type shape, has member value. */
    public int point(QuillCall call, int argument) {
        QuillTypeRef shape = new QuillTypeRef();
        QuillTypeRef point = new QuillTypeRef();
        int code = call.typeAllocOneOff("shape", "a shape", shape);
        if (code == 0) {
            code = call.typeAllocCustom(point, "point");
        }
        if (code == 0) {
            code = call.typeInheritFrom(point, shape);
        }
        return code != 0 ? code : call.returnTagValue(point);
    }

    /** [hello_describe: hello_people] writes "array of 2: {name: Ada, born: 1815} ...". */
    public int describe(QuillCall call, int argument) {
        QuillTypeRef value = new QuillTypeRef();
        int code = call.getTagParam2(0, value);
        if (code != 0) {
            return code;
        }
        QuillValue type = new QuillValue();
        call.typeGetName(value, type);
        IntValue size = new IntValue();
        boolean isMap = "map".equals(type.data);
        boolean isArray = "array".equals(type.data);
        if (!isMap && !isArray) {
            QuillValue text = new QuillValue();
            call.typeGetString(value, text);
            return call.print(type.data + ": " + text.data);
        }
        code = isMap ? call.mapGetSize(value, size) : call.arrayGetSize(value, size);
        if (code != 0) {
            return code;
        }
        StringBuilder out = new StringBuilder(type.data + " of " + size.value + ":");
        for (int i = 0; i < size.value; i++) {
            QuillTypeRef element = new QuillTypeRef();
            code = isMap ? call.mapGetElement(value, i, element) : call.arrayGetElement(value, i, element);
            QuillValue text = new QuillValue();
            if (code == 0) {
                call.typeGetString(element, text);
            }
            out.append(' ').append(code == 0 ? text.data : "(" + code + ")");
        }
        return call.print(out.toString());
    }
}
