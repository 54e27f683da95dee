package com.marrowbay.util;

import com.ferngate.quillpro.QuillJavaModule;
import com.ferngate.quillpro.QuillLog;
import java.util.Iterator;
import java.util.ServiceConfigurationError;
import java.util.ServiceLoader;

/** Loads the server module's native library and the Java modules on the class path. */
public final class NativeLoader {
    private static final int MAX_LOOKUP_FAILURES_IN_A_ROW = 1000;

    private NativeLoader() {
    }

    /**
     * {@link System#loadLibrary} that never throws.
     *
     * @return false, after printing the reason, when the library cannot be loaded
     */
    public static boolean loadLibrary(String name) {
        try {
            System.loadLibrary(name);
            return true;
        } catch (Throwable e) {
            System.err.println("NativeLoader: cannot load native library " + name + ": " + e);
            return false;
        }
    }

    /**
     * Creates every {@link QuillJavaModule} listed as a service on the system class path and calls
     * its {@code registerModule}, after routing Java's logging to the server's log
     * ({@link QuillLog#install}). A failing module does not stop the others. Then, when the
     * system property {@code quill.module.reload} is {@code yes} or {@code true}, a daemon thread
     * starts that loads a changed module jar of the module folder again. Last the first failure
     * is thrown (a module's names its class; a reload that could not start is one too), with any
     * later ones attached as suppressed.
     */
    public static void loadQuillModules() {
        try {
            QuillLog.install();
        } catch (Throwable e) {
            // Modules load with Java's own logging setup then.
            System.err.println("NativeLoader: cannot route Java logging to the server log: " + e);
        }
        ServiceLoader<QuillJavaModule> loader =
                ServiceLoader.load(QuillJavaModule.class, ClassLoader.getSystemClassLoader());
        RuntimeException failure = null;
        int lookupFailuresInARow = 0;
        Iterator<ServiceLoader.Provider<QuillJavaModule>> providers = loader.stream().iterator();
        while (true) {
            ServiceLoader.Provider<QuillJavaModule> provider;
            try {
                if (!providers.hasNext()) {
                    break;
                }
                provider = providers.next();
                lookupFailuresInARow = 0;
            } catch (ServiceConfigurationError e) {
                // A listed class that cannot be loaded: the lookup goes on with the next entry,
                // unless the lookup itself keeps failing without moving on.
                failure = record(failure, new RuntimeException("Quill module could not be loaded: "
                        + e.getMessage(), e));
                if (++lookupFailuresInARow > MAX_LOOKUP_FAILURES_IN_A_ROW) {
                    break;
                }
                continue;
            }
            String moduleName = provider.type().getName();
            try {
                provider.get().registerModule();
            } catch (Throwable e) {
                failure = record(failure,
                        new RuntimeException("Quill module " + moduleName + " failed to load: " + e, e));
            }
        }
        try {
            ModuleReloader.startIfRequested();
        } catch (Throwable e) {
            failure = record(failure, new RuntimeException("Quill module reload could not start: " + e, e));
        }
        if (failure != null) {
            throw failure;
        }
    }

    private static RuntimeException record(RuntimeException first, RuntimeException next) {
        if (first == null) {
            return next;
        }
        first.addSuppressed(next);
        return first;
    }
}
