package com.ferngate.quillpro;

/**
 * The base of every Java module. Modules are found with {@link java.util.ServiceLoader}: a jar
 * lists its module classes in {@code META-INF/services/com.ferngate.quillpro.QuillJavaModule},
 * and each needs a public no-argument constructor.
 */
public abstract class QuillJavaModule {
    /**
     * Called once at server start-up, after construction: register the module's tags, data
     * sources and types here.
     */
    public abstract void registerModule();
}
