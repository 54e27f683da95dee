package com.marrowbay.quillpro;

/**
 * The second tag-module base class. Its registration names a module and accepts only tag methods
 * declared with {@link com.marrowbay.quillpro.QuillCall}:
 * {@code int name(com.marrowbay.quillpro.QuillCall call, int argument)}. As with the first base
 * class, the no-argument constructor must be public and the tag method may have any access.
 */
public abstract class QuillTagModule extends com.ferngate.quillpro.QuillTagModule {
    /**
     * Registers {@code methodName} of this object's class as the script tag {@code tagName} of
     * module {@code moduleName}.
     */
    public native void registerTagModule(String className, String moduleName, String tagName,
                                         String methodName, int flags, String description);
}
