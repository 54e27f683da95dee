package com.ferngate.quillpro;

/**
 * Names a host script value by its 32-bit handle. Java creates these empty and passes them to the
 * natives, which store the handle of a new or found value in {@link #nativeRef}. Handle 0 means
 * "no value"; a null {@code QuillTypeRef} argument reads as handle 0.
 */
public class QuillTypeRef {
    public int nativeRef;

    public QuillTypeRef() {
    }

    public QuillTypeRef(int nativeRef) {
        this.nativeRef = nativeRef;
    }

    /** True when this names a value (the handle is not 0). */
    public boolean isSet() {
        return nativeRef != 0;
    }

    @Override
    public String toString() {
        return "QuillTypeRef(" + nativeRef + ")";
    }
}
