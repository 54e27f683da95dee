package examples.hello;

import com.ferngate.quillpro.IntValue;
import com.ferngate.quillpro.QuillValue;
import com.marrowbay.quillpro.QuillCall;
import com.marrowbay.quillpro.QuillTagModule;

/**
 * The same kind of module on the second base class, whose registration also names a module and
 * whose tag methods take {@link com.marrowbay.quillpro.QuillCall}.
 */
public class HelloModuleTags extends QuillTagModule {
    public HelloModuleTags() {
    }

    @Override
    public void registerModule() {
        registerTagModule(getClass().getName(), "hello", "hello_info", "info", 0,
                "Names the tag and counts its parameters");
    }

    /** [hello_info: 1, 2] writes "hello_info: 2 parameters". */
    public int info(QuillCall call, int argument) {
        QuillValue name = new QuillValue();
        int code = call.getTagName(name);
        if (code != 0) {
            return code;
        }
        IntValue count = new IntValue();
        code = call.getTagParamCount(count);
        if (code != 0) {
            return code;
        }
        return call.print(name.data + ": " + count.value + " parameters");
    }
}
