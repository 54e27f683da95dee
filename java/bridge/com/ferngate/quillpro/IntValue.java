package com.ferngate.quillpro;

/** A 64-bit integer out-parameter; host numbers of 32 bits arrive sign-extended. */
public class IntValue {
    public long value;

    public IntValue() {
    }

    public IntValue(long value) {
        this.value = value;
    }

    @Override
    public String toString() {
        return Long.toString(value);
    }
}
