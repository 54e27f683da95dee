package com.marrowbay.quillpro;

/**
 * The request object the bridge creates for every call into Java. It inherits the natives and
 * the token field, so a tag method may declare either this class or
 * {@link com.ferngate.quillpro.QuillCall} as its parameter.
 */
public class QuillCall extends com.ferngate.quillpro.QuillCall {
    public QuillCall() {
    }
}
