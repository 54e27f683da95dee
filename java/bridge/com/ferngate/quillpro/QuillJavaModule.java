package com.ferngate.quillpro;

/**
 * The base of every Java module. Modules are found with {@link java.util.ServiceLoader}: a jar
 * lists its module classes in {@code META-INF/services/com.ferngate.quillpro.QuillJavaModule},
 * and each listed class needs a public no-argument constructor, since the service loader makes it.
 * Classes the server itself instantiates for tags do not (see {@link QuillTagModule}).
 */
public abstract class QuillJavaModule {
    /**
     * Called once, after construction: at server start-up, and on a new instance when its module
     * jar is loaded again. Register the module's tags, data sources and types here.
     */
    public abstract void registerModule();
}
