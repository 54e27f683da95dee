package com.marrowbay.quillpro;

/**
 * A named host value: the out-parameter through which the host hands back text, and the value
 * object a data-source dispatch method receives.
 *
 * <p>This is the base of {@link com.ferngate.quillpro.QuillValue}; the bridge always creates the
 * subclass, so a method declared with either class accepts what the bridge passes.
 */
public class QuillValue {
    /** The value's name, or null. Some natives leave it as the caller set it. */
    public String name;
    /** The value's text, or null. */
    public String data;
    /** The host's four-character type code (see {@link com.ferngate.quillpro.TypeCode}). */
    public int type;

    public QuillValue() {
    }

    public QuillValue(String name, String data, int type) {
        this.name = name;
        this.data = data;
        this.type = type;
    }

    @Override
    public String toString() {
        return name + "=" + data + " (" + com.ferngate.quillpro.TypeCode.toText(type) + ")";
    }
}
