package examples.services;

import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillTagModule;
import com.ferngate.quillpro.QuillValue;

/**
 * The server's general services from Java.
 *
 * <p>At start-up a job runs on a thread of its own through {@link QuillCall#runRequest}, which
 * gives it a request of its own: it creates the semaphore the tags share and fills the server's
 * store (kept in the internal database, so the boot count grows with every start). The tags read
 * the store, and {@code svc_count} adds one to a counter shared by every worker thread, under the
 * semaphore.
 */
public class ServiceTags extends QuillTagModule {
    private static final String SEMAPHORE = "svc_counter";
    private static int counter;

    public ServiceTags() {
    }

    @Override
    public void registerModule() {
        registerTag("svc_store", "store", "svc_store(key): the stored text, or nothing");
        registerTag("svc_count", "count", "adds one to the shared counter and returns it");
        registerTag("svc_whoami", "whoami", "the request's user and site as Java sees them");

        // A start-up job, as a timer would run one: no script, so no request, on its thread.
        int[] result = {0};
        Thread job = new Thread(() -> result[0] = new com.marrowbay.quillpro.QuillCall()
                .runRequest("examples/services/ServiceTags", "startUp", 0, 0), "ServiceTags start-up");
        job.start();
        try {
            job.join(10_000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        if (result[0] != 0) {
            throw new IllegalStateException("the start-up job failed with " + result[0]);
        }
    }

    /** Run by runRequest at start-up. */
    public int startUp(QuillCall call, int argument) {
        int code = call.createSem(SEMAPHORE);
        if (code != 0) {
            return code;
        }
        QuillValue boots = new QuillValue();
        int count = call.storeGetData("svc.boots", boots) == 0 ? Integer.parseInt(boots.data) + 1 : 1;
        code = call.storePutData("svc.boots", Integer.toString(count));
        if (code == 0) {
            code = call.storePutData("svc.greeting", "Hello from the start-up job (site " + call.getSiteID() + ")");
        }
        call.log(2, "ServiceTags: start-up job done, boot " + count + ", 100% in the store");
        return code;
    }

    public int store(QuillCall call, int argument) {
        QuillValue value = new QuillValue();
        int code = call.storeGetData(call.param(0), value);
        return code == 0 ? call.returnTagValueString(value.data) : 0;
    }

    public int count(QuillCall call, int argument) throws InterruptedException {
        int code = call.acquireSem(SEMAPHORE);
        if (code != 0) {
            return code;
        }
        int now;
        try {
            now = counter == Integer.MAX_VALUE ? counter : counter + 1;  // stays at its largest
            Thread.sleep(1);  // without the semaphore, other threads would overwrite this update
            counter = now;
        } finally {
            call.releaseSem(SEMAPHORE);
        }
        return call.returnTagValueInteger(now);
    }

    public int whoami(QuillCall call, int argument) {
        String user = call.isAnonymous() == 1 ? "anonymous" : call.isAdministrator() == 1 ? "an administrator" : "a user";
        return call.print(user + " on site " + call.getSiteID() + " (" + call.getSiteName() + ")");
    }
}
