package bench;

import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillTagModule;
import com.ferngate.quillpro.QuillValue;

/** The tags the bridge benchmark calls: one that does nothing, one that echoes its parameter. */
public class BenchTags extends QuillTagModule {
    public BenchTags() {
    }

    @Override
    public void registerModule() {
        registerTag("bench_empty", "empty", "returns 0 and does nothing else");
        registerTag("bench_echo", "echo", "writes its first parameter to the output");
        registerTag("bench_request_param", "requestParam", "writes the request parameter named p");
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
