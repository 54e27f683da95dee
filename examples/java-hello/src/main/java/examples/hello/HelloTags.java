package examples.hello;

import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillError;
import com.ferngate.quillpro.QuillTagModule;
import com.ferngate.quillpro.QuillTypeRef;

/**
 * An example tag module. The server creates it once at start-up and calls {@link #registerModule};
 * each tag call then runs its method on a fresh instance.
 */
public class HelloTags extends QuillTagModule {
    public HelloTags() {
    }

    @Override
    public void registerModule() {
        registerTag("hello_greet", "greet", "Greets its first parameter; -greeting replaces Hello");
        registerTag("hello_add", "add", "Returns the sum of its integer parameters");
        registerTag("hello_setvar", "setVar", "Sets the variable named by parameter 1 to parameter 2");
        registerTag("hello_fail", "fail", "Fails with code 1234");
        registerTag("hello_repeat", "repeat", "Runs its body as often as its first parameter says");
    }

    /** [hello_greet: 'name', -greeting='Hi'] writes "Hi, name!"; the name defaults to "world". */
    public int greet(QuillCall call, int argument) {
        String name = call.param(0);
        String greeting = call.namedParam("-greeting");
        return call.print((greeting == null ? "Hello" : greeting) + ", "
                + (name == null ? "world" : name) + "!");
    }

    /** [hello_add: 1, 2, 3] returns the integer 6. */
    public int add(QuillCall call, int argument) {
        long sum = 0;
        for (int i = 0; i < call.paramCount(); i++) {
            String text = call.param(i);
            try {
                sum += Long.parseLong(text == null ? "" : text.trim());
            } catch (NumberFormatException e) {
                call.setResultMessage("hello_add: not an integer: " + text);
                return QuillError.GENERIC;
            }
        }
        return call.returnTagValueInteger(sum);
    }

    /** [hello_setvar: 'name', 'value'] sets the local variable name. */
    public int setVar(QuillCall call, int argument) {
        String name = call.param(0);
        String value = call.param(1);
        if (name == null) {
            call.setResultMessage("hello_setvar needs a variable name");
            return QuillError.GENERIC;
        }
        return call.setVar(name, value == null ? "" : value);
    }

    /** [hello_fail] fails the script with code 1234 and a message. */
    public int fail(QuillCall call, int argument) {
        call.setResultMessage("hello_fail was asked to fail");
        return 1234;
    }

    /** [hello_repeat: 3] ... [/hello_repeat] runs its body three times. */
    public int repeat(QuillCall call, int argument) {
        String text = call.param(0);
        int times;
        try {
            times = Integer.parseInt(text == null ? "1" : text.trim());
        } catch (NumberFormatException e) {
            call.setResultMessage("hello_repeat: not a count: " + text);
            return QuillError.GENERIC;
        }
        QuillTypeRef body = new QuillTypeRef();
        for (int i = 0; i < times; i++) {
            int code = call.childrenRun(body);
            if (code != 0) {
                return code;
            }
        }
        return 0;
    }
}
