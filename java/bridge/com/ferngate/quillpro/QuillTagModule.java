package com.ferngate.quillpro;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.ObjectInputStream;
import java.io.ObjectOutputStream;
import java.io.ObjectStreamClass;

/**
 * The base of Java tag modules. A tag method is an instance method
 * {@code int name(QuillCall call, int argument)} (either package's {@code QuillCall}); each call
 * runs on a fresh instance made with the public no-argument constructor, and a non-zero result
 * fails the script's tag call with that code. The server finds the method through JNI, which
 * ignores access: it may be private.
 */
public abstract class QuillTagModule extends QuillJavaModule {
    /**
     * Registers {@code methodName} of this object's class as the script tag {@code tagName}.
     * The method may take either package's {@code QuillCall}, and may have any access. A class
     * without a public no-argument constructor, or a missing or static method, registers nothing
     * (the server log says which).
     *
     * @param className   the class name, used in messages
     * @param flags       the host's tag flags, passed through
     * @param description the tag's description
     */
    public native void registerTagModule(String className, String tagName, String methodName,
                                         int flags, String description);

    /** {@link #registerTagModule} with this object's class name and no flags. */
    public void registerTag(String tagName, String methodName, String description) {
        registerTagModule(getClass().getName(), tagName, methodName, 0, description);
    }

    /** The object's bytes in Java serialisation form, or null when it cannot be serialised. */
    public static byte[] serialize(Object object) {
        try {
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            try (ObjectOutputStream out = new ObjectOutputStream(bytes)) {
                out.writeObject(object);
            }
            return bytes.toByteArray();
        } catch (Exception | LinkageError e) {
            return null;
        }
    }

    /** The object read back from {@link #serialize} bytes, or null when they cannot be read. */
    public static Object unserialize(byte[] data) {
        return unserialize(data, null);
    }

    /**
     * {@link #unserialize(byte[])} reading the class named like {@code expected} as {@code expected}
     * itself and every other class through {@code expected}'s loader: a copy of a module's class
     * loaded again reads back an object saved by another copy. Null {@code expected}: the
     * classes as a plain {@link ObjectInputStream} finds them. Called by the server.
     */
    static Object unserialize(byte[] data, Class<?> expected) {
        if (data == null) {
            return null;
        }
        try (ObjectInputStream in = new ExpectedClassInput(data, expected)) {
            return in.readObject();
        } catch (Exception | LinkageError e) {
            return null;
        }
    }

    private static final class ExpectedClassInput extends ObjectInputStream {
        private final Class<?> expected;

        ExpectedClassInput(byte[] data, Class<?> expected) throws IOException {
            super(new ByteArrayInputStream(data));
            this.expected = expected;
        }

        @Override
        protected Class<?> resolveClass(ObjectStreamClass description) throws IOException, ClassNotFoundException {
            if (expected == null) {
                return super.resolveClass(description);
            }
            String name = description.getName();
            if (name.equals(expected.getName())) {
                return expected;
            }
            try {
                return Class.forName(name, false, expected.getClassLoader());
            } catch (ClassNotFoundException e) {
                return super.resolveClass(description);  // primitive types' names
            }
        }
    }
}
