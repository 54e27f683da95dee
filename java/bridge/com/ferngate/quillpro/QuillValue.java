package com.ferngate.quillpro;

/**
 * The value class the bridge creates and the natives fill: fields {@code name}, {@code data} and
 * {@code type} are inherited from {@link com.marrowbay.quillpro.QuillValue}.
 */
public class QuillValue extends com.marrowbay.quillpro.QuillValue {
    // The bridge allocates the values it hands to Java without running a constructor and fills
    // the three fields itself: fields added here would keep their defaults.
    public QuillValue() {
    }

    public QuillValue(String name, String data, int type) {
        super(name, data, type);
    }
}
