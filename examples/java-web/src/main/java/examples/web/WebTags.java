package examples.web;

import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillTagModule;

/**
 * Tags for pages served over HTTP (`quill serve`): they read the request's form fields, headers
 * and cookies and set result headers, all through the request natives.
 */
public class WebTags extends QuillTagModule {
    /** The cookie that counts a browser's visits. */
    static final String VISITS = "visits";

    public WebTags() {
    }

    @Override
    public void registerModule() {
        registerTag("web_param", "param", "Returns the request parameter (query or form field) named by parameter 1");
        registerTag("web_header", "header", "Returns the request header named by parameter 1");
        registerTag("web_visits", "visits", "Counts the visits of a browser in a cookie and returns the count");
    }

    /** [web_param: 'name'] returns the field's text, or nothing when the request has none. */
    public int param(QuillCall call, int argument) {
        return returnText(call, call.request(QuillCall.REQUEST_PARAM, call.param(0)));
    }

    /** [web_header: 'User-Agent'] returns the header's text, or nothing when it is missing. */
    public int header(QuillCall call, int argument) {
        return returnText(call, call.request(QuillCall.REQUEST_HEADER, call.param(0)));
    }

    /**
     * [web_visits] reads the cookie "visits", returns it plus one and sends the new count back
     * in a Set-Cookie result header; pages that call it are not to be cached.
     */
    public int visits(QuillCall call, int argument) {
        long visits = 0;
        String kept = call.cookie(VISITS);
        if (kept != null) {
            try {
                visits = Math.max(0, Long.parseLong(kept.trim()));
            } catch (NumberFormatException e) {
                visits = 0;  // a cookie someone else wrote: start again
            }
        }
        if (visits < Long.MAX_VALUE) {
            visits++;  // a count kept at its largest does not wrap round to a negative one
        }
        int code = call.addResultHeader("Set-Cookie: " + VISITS + "=" + visits + "; Path=/; SameSite=Lax");
        if (code == 0) {
            code = call.setResultHeader("Cache-Control: no-store");
        }
        return code != 0 ? code : call.returnTagValueInteger(visits);
    }

    private static int returnText(QuillCall call, String text) {
        return text == null ? 0 : call.returnTagValueString(text);
    }
}
