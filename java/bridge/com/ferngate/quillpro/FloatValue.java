package com.ferngate.quillpro;

/** A double out-parameter. */
public class FloatValue {
    public double value;

    public FloatValue() {
    }

    public FloatValue(double value) {
        this.value = value;
    }

    @Override
    public String toString() {
        return Double.toString(value);
    }
}
