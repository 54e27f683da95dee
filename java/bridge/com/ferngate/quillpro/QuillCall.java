package com.ferngate.quillpro;

/**
 * The request object of one host call: a tag, a member tag, a data-source action or
 * {@link #runRequest}. Java code reaches the host only through the native methods declared here.
 *
 * <p>The bridge creates instances of the subclass {@link com.marrowbay.quillpro.QuillCall} and
 * stores the call's request token in {@link #nativeRef}. The token is valid only while the Java
 * method that received the object runs; the host refuses a kept object afterwards.
 *
 * <p>Natives returning {@code int} give 0 for success, the host's error code unchanged, or one of
 * the {@link QuillError} codes: a null required argument gives {@link QuillError#NULL_ARGUMENT}
 * before anything else, an unbound object {@link QuillError#NO_CALL}. Out-parameters are written
 * only on success. Natives returning an object or boolean report failure as null or false.
 */
public class QuillCall {
    /** Variable mode of {@link #setVariable} and {@link #removeVariable}: the local scope. */
    public static final int VAR_LOCAL = 0;
    /** Variable mode of {@link #setVariable} and {@link #removeVariable}: the global scope. */
    public static final int VAR_GLOBAL = 1;
    /** Selector of {@link #getRequestParam}: {@code value.name} names a query or form parameter. */
    public static final int REQUEST_PARAM = 0;
    /** Selector of {@link #getRequestParam}: the request method ("GET", "POST", ...). */
    public static final int REQUEST_METHOD = 1;
    /** Selector of {@link #getRequestParam}: the request path. */
    public static final int REQUEST_PATH = 2;
    /** Selector of {@link #getRequestParam}: {@code value.name} names a request header (any case). */
    public static final int REQUEST_HEADER = 3;
    /** Selector of {@link #getQuillParam}: the server's version text. */
    public static final int SERVER_VERSION = 0;
    /** Selector of {@link #getQuillParam}: the server root folder. */
    public static final int SERVER_ROOT = 1;
    /** Selector of {@link #getQuillParam}: the path of the running script. */
    public static final int SERVER_SCRIPT = 2;
    /** Encoding reported by {@link #getTagEncoding}: none. */
    public static final int ENCODE_NONE = 0;
    /** Encoding reported by {@link #getTagEncoding}: HTML. */
    public static final int ENCODE_HTML = 1;
    /** Encoding reported by {@link #getTagEncoding}: URL. */
    public static final int ENCODE_URL = 2;
    /** Encoding reported by {@link #getTagEncoding}: XML. */
    public static final int ENCODE_XML = 3;

    /** The request token of the host call this object is bound to; 0 when unbound. */
    public int nativeRef;

    // The bridge allocates the objects it hands to Java without running a constructor: fields
    // here and in subclasses get no initial values but their defaults, and constructors do nothing.
    public QuillCall() {
    }

    // ---- convenience (thin wrappers over the natives) ----

    /** True while this object names a host call (its token is not 0). */
    public boolean isBound() {
        return nativeRef != 0;
    }

    /**
     * The text of tag parameter {@code index} (positional and named ones counted together, in the
     * order of the call, as {@link #getTagParam} counts them), or null when there is none.
     */
    public String param(int index) {
        QuillValue value = new QuillValue();
        return getTagParam(index, value) == 0 ? value.data : null;
    }

    /** The text of the named tag parameter {@code name}, or null when it is not given. */
    public String namedParam(String name) {
        if (name == null) {
            return null;
        }
        QuillValue value = new QuillValue();
        return findTagParam(name, value) == 0 ? value.data : null;
    }

    /** The number of tag parameters, or 0 when the host cannot tell. */
    public int paramCount() {
        IntValue count = new IntValue();
        return getTagParamCount(count) == 0 ? (int) count.value : 0;
    }

    /** Writes {@code text} to the tag's output; returns the native's code. */
    public int print(String text) {
        return outputTagData(text);
    }

    /** The text of variable {@code name}, or null when it does not exist. */
    public String variable(String name) {
        if (name == null) {
            return null;
        }
        QuillValue value = new QuillValue();
        return getVariable(name, 0, value) == 0 ? value.data : null;
    }

    /** Sets the local variable {@code name} to {@code value}; returns the native's code. */
    public int setVar(String name, String value) {
        return setVariable(name, value, VAR_LOCAL);
    }

    /**
     * What {@link #getRequestParam} gives for selector {@code which} ({@link #REQUEST_PARAM} and
     * the others) and {@code name}, or null when the request has none.
     */
    public String request(int which, String name) {
        QuillValue value = new QuillValue(name, null, 0);
        return getRequestParam(which, value) == 0 ? value.data : null;
    }

    /** The text of the request's cookie {@code name}, or null when it has none. */
    public String cookie(String name) {
        if (name == null) {
            return null;
        }
        QuillValue value = new QuillValue();
        return getCookieValue(name, value) == 0 ? value.data : null;
    }

    // ---- request, result and output ----

    /**
     * Reads what the request carries.
     *
     * @param which {@link #REQUEST_PARAM}, {@link #REQUEST_METHOD}, {@link #REQUEST_PATH} or
     *              {@link #REQUEST_HEADER}
     * @param value {@code value.name} names the parameter or header (kept); {@code data} receives
     *              the text
     * @return 0, -9003 when the request has no such parameter, or an error code
     */
    public native int getRequestParam(int which, QuillValue value);
    /**
     * Reads a server parameter into {@code value.data} (the name is untouched).
     *
     * @param which {@link #SERVER_VERSION}, {@link #SERVER_ROOT} or {@link #SERVER_SCRIPT}
     * @return 0 or an error code
     */
    public native int getQuillParam(int which, QuillValue value);
    /**
     * Sets the request's result code. A non-zero code set here does not stop the script by
     * itself; a tag stops it by returning a non-zero code.
     *
     * @return 0 or an error code
     */
    public native int setResultCode(int code);
    /**
     * Sets the request's result message, the text shown when the script fails.
     * @return 0 or an error code
     */
    public native int setResultMessage(String message);
    /**
     * Writes {@code text} to the tag's output.
     * @return 0 or an error code
     */
    public native int outputTagData(String text);
    /**
     * Writes raw bytes to the output; an empty array writes nothing.
     * @return 0, -1 when the array cannot be read, or an error code
     */
    public native int outputTagData(byte[] data);
    /**
     * Reads the result (response) headers into {@code header.data}.
     * @return 0 or an error code
     */
    public native int getResultHeader(QuillValue header);
    /**
     * Sets the result header line {@code header} ("Name: value"), replacing the headers of that
     * name (any case).
     * @return 0 or an error code
     */
    public native int setResultHeader(String header);
    /**
     * Adds one result header line "Name: value".
     * @return 0 or an error code
     */
    public native int addResultHeader(String header);
    /**
     * Reads the request's cookie {@code name} into {@code cookie.data}.
     * @return 0, -9003 when there is none, or an error code
     */
    public native int getCookieValue(String name, QuillValue cookie);

    // ---- the running tag ----

    /**
     * The running tag's name into {@code name.data}.
     * @return 0 or an error code
     */
    public native int getTagName(QuillValue name);
    /**
     * The number of parameters (positional and named) into {@code count}.
     * @return 0 or an error code
     */
    public native int getTagParamCount(IntValue count);
    /**
     * Parameter {@code index} (from 0, positional and named in order): {@code name} is empty for
     * a positional one, {@code data} the text.
     *
     * @return 0, -9004 past the last parameter, or an error code
     */
    public native int getTagParam(int index, QuillValue param);
    /**
     * @return 1 when the named parameter {@code -name} was given, 0 when not (the host's answer as is)
     */
    public native int tagParamIsDefined(String name);
    /**
     * The named parameter {@code -name=value} into {@code param}.
     * @return 0, -9003 when it is not given, or an error code
     */
    public native int findTagParam(String name, QuillValue param);
    /**
     * The encoding the script asked for: {@link #ENCODE_NONE}, {@link #ENCODE_HTML}, {@link #ENCODE_URL} or {@link #ENCODE_XML}.
     * @return 0 or an error code
     */
    public native int getTagEncoding(IntValue encoding);
    /**
     * Parameter {@code index} as a value handle.
     * @return 0, -9004 past the last, or an error code
     */
    public native int getTagParam2(int index, QuillTypeRef param);
    /**
     * The named parameter {@code name} as a value handle.
     * @return 0, -9003 when not given, or an error code
     */
    public native int findTagParam2(String name, QuillTypeRef param);
    /**
     * The value a member tag runs on ({@code self}).
     * @return 0 or an error code
     */
    public native int getTagSelf(QuillTypeRef self);
    /**
     * Runs the body of a container tag; {@code result} receives the value it produced.
     * @return 0 or the body's error code
     */
    public native int childrenRun(QuillTypeRef result);
    /**
     * Finds the tag {@code name} as a tag value.
     * @param flag passed to the host as is
     * @return 0, -9003 when there is none, or an error code
     */
    public native int findTag(String name, QuillTypeRef tag, boolean flag);
    /**
     * The declared return type of a tag value into {@code type.data}.
     * @return 0 or an error code
     */
    public native int tagGetReturnType(QuillTypeRef tag, QuillValue type);
    /**
     * Declares the return type of a tag value.
     * @return 0 or an error code
     */
    public native int tagSetReturnType(QuillTypeRef tag, String typeName);
    /**
     * The number of parameters a tag value declares.
     * @return 0 or an error code
     */
    public native int tagGetExpectedParamCount(QuillTypeRef tag, IntValue count);
    /**
     * Declared parameter {@code index} of a tag value: its name and type into {@code param}, its
     * position into {@code number}; each of the two is optional (null skips it).
     *
     * @return 0 or an error code
     */
    public native int tagGetExpectedParam(QuillTypeRef tag, int index, QuillValue param, IntValue number);

    // ---- the tag's value ----

    /**
     * Makes {@code value} the tag's value.
     * @return 0 or an error code
     */
    public native int returnTagValue(QuillTypeRef value);
    /**
     * Makes a boolean the tag's value.
     * @return 0 or an error code
     */
    public native int returnTagValueBoolean(boolean value);
    /**
     * Makes an integer the tag's value.
     * @return 0 or an error code
     */
    public native int returnTagValueInteger(long value);
    /**
     * Makes a decimal the tag's value.
     * @return 0 or an error code
     */
    public native int returnTagValueDecimal(double value);
    /**
     * Makes a string the tag's value.
     * @return 0 or an error code
     */
    public native int returnTagValueString(String value);

    // ---- variables ----

    /**
     * The number of variables named {@code name} (0 when there is none).
     * @return 0 or an error code
     */
    public native int getVariableCount(String name, IntValue count);
    /**
     * The text of the {@code index}-th variable named {@code name} (from 0).
     * @return 0, -9003 when there is none, -9004 past the last, or an error code
     */
    public native int getVariable(String name, int index, QuillValue value);
    /**
     * Sets variable {@code name} to the text {@code value}.
     * @param mode {@link #VAR_LOCAL} or {@link #VAR_GLOBAL}
     * @return 0 or an error code
     */
    public native int setVariable(String name, String value, int mode);
    /**
     * Removes variable {@code name}.
     * @param mode {@link #VAR_LOCAL} or {@link #VAR_GLOBAL}
     * @return 0, -9003 when it does not exist, or an error code
     */
    public native int removeVariable(String name, int mode);
    /**
     * Variable {@code name} as a value handle.
     * @return 0, -9003 when it does not exist, or an error code
     */
    public native int getVariable2(String name, QuillTypeRef value);
    /**
     * Sets variable {@code name} to the value {@code value}.
     * @return 0 or an error code
     */
    public native int setVariable2(String name, QuillTypeRef value);

    // ---- semaphores, formatting, stored data ----

    /**
     * Makes the process-wide semaphore {@code name} with one slot (an existing one is kept).
     * @return 0 or an error code
     */
    public native int createSem(String name);
    /**
     * Removes semaphore {@code name}; waiting threads wake with -9003.
     * @return 0 or an error code
     */
    public native int destroySem(String name);
    /**
     * Waits until semaphore {@code name}'s slot is free and takes it.
     * @return 0, -9003 when it does not exist, or an error code
     */
    public native int acquireSem(String name);
    /**
     * Frees semaphore {@code name}'s slot.
     * @return 0, -9006 when it is free, or an error code
     */
    public native int releaseSem(String name);
    /**
     * Replaces each {@code ${name}} in {@code text} with the variable's text; {@code result} is optional.
     * @return 0 or an error code
     */
    public native int formatBuffer(String text, QuillValue result);
    /**
     * Whether the stored data has {@code key}: 1 or 0 into {@code present}, which is optional.
     * @return 0 or an error code
     */
    public native int storeHasData(String key, IntValue present);
    /**
     * Stores the ISO-8859-1 bytes of {@code value} under {@code key}.
     * @return 0, -9995 for a null value, or an error code
     */
    public native int storePutData(String key, String value);
    /**
     * Stores {@code value}'s bytes unchanged under {@code key}.
     * @return 0 or an error code
     */
    public native int storePutData(String key, byte[] value);
    /**
     * Reads the bytes stored under {@code key} as UTF-8 into {@code value.data}.
     * @return 0, -9003 when the key is missing, or an error code
     */
    public native int storeGetData(String key, QuillValue value);

    // ---- users and rights ----

    /**
     * @return 1 when the request's user is an administrator, else 0 (the host's answer as is)
     */
    public native int isAdministrator();
    /**
     * @return 1 when the request's user is anonymous, else 0 (the host's answer as is)
     */
    public native int isAnonymous();
    /**
     * Whether the request's user may do {@code operation} on {@code target}.
     *
     * @param operation 1 read, 2 write, 3 execute, 4 admin
     * @return 0 when allowed, -9010 when not
     */
    public native int operationAllowed(int operation, String target);
    /**
     * Makes {@code user} the request's user when {@code second}, its password, is right; an
     * administrator may pass null, and the empty user (anonymous) needs no password.
     * @return 0, -9010 otherwise, or an error code
     */
    public native int switchToUser(String user, String second);

    // ---- constants and logging (no token needed) ----

    /**
     * Registers the script constant {@code name} with a copy of {@code value}.
     * @return 0, -9011 when the name is taken, or an error code
     */
    public native int registerConstant(String name, QuillTypeRef value);
    /**
     * Registers the script constant {@code first::second}.
     * @return 0, -9011 when the name is taken, or an error code
     */
    public native int registerConstant2(String first, String second, QuillTypeRef value);
    /**
     * Logs {@code message} to the server's log as one line: it crosses as ISO-8859-1 (a character
     * beyond it is written as {@code ?}), and control characters are written as escapes.
     *
     * @param level 0 critical, 1 warning, 2 detail, 3 debug ({@link QuillLog} has the constants)
     * @return 0 or an error code
     */
    public native int log(int level, String message);

    // ---- paths ----

    /**
     * The platform's form of an internal path. Needs no token.
     * @return null for a null path; the path itself when it cannot be converted
     */
    public native String getPlatformSpecificPath(String path);
    /**
     * The internal form of a platform path. Needs no token.
     * @return null for a null path; the path itself when it cannot be converted
     */
    public native String getInternalPath(String path);
    /**
     * The full internal path, {@code .} and {@code ..} removed.
     * @return the path, or null when refused or invalid
     */
    public native String fullyQualifyPath(String path);
    /**
     * The full internal path with links resolved.
     * @return the path, or null when refused or invalid
     */
    public native String resolvePath(String path);
    /**
     * The path as an include would find it.
     * @return the path, or null when refused or invalid
     */
    public native String resolveIncludePath(String path);
    /**
     * The full platform path of an internal path.
     * @return the path, or null when refused or invalid
     */
    public native String internalToFullPlatformPath(String path);
    /**
     * Needs no token.
     * @return true for a full internal path, false otherwise and for null
     */
    public native boolean isFullInternalPath(String path);
    /**
     * Whether {@link #fullyQualifyPath} also resolves links for this request (off at first).
     * @return 0 or an error code
     */
    public native int setAutoResolveFullPaths(boolean enable);
    /**
     * @return the request's setting of {@link #setAutoResolveFullPaths}
     */
    public native boolean getAutoResolveFullPaths();

    // ---- other services ----

    /**
     * Reads the file {@code path} under the root (at most 64 MiB) into {@code content.data}.
     * @return 0 or an error code
     */
    public native int includeRaw(String path, QuillValue content);
    /**
     * @return the site id (not an error code), or {@link QuillError#NO_CALL} when unbound
     */
    public native int getSiteID();
    /**
     * @return the site name, or null
     */
    public native String getSiteName();
    /**
     * Placeholder kept for compatibility.
     * @return always -1
     */
    public native int outputTagDataF(int first, int second);
    /**
     * Runs {@code methodName} of the tag-module class {@code className} (slash-separated JNI
     * name) on a fresh instance with a fresh request object and {@code argument}.
     *
     * @param unused not read
     * @return the method's result, {@link QuillError#NOTHING_TO_DO} when it cannot be run, or
     *         -10998 when it threw
     */
    public native int runRequest(String className, String methodName, int argument, int unused);

    // ---- creating values ----
    // Every typeAlloc native writes the new value's handle into result; the request frees its
    // values when it ends. Each returns 0 or an error code.

    /**
     * A value of the script type {@code typeName} made with {@code params} (may be null); {@code result} comes last.
     * @return 0 or an error code
     */
    public native int typeAlloc(String typeName, QuillTypeRef[] params, QuillTypeRef result);
    /**
     * A null value.
     * @return 0 or an error code
     */
    public native int typeAllocNull(QuillTypeRef result);
    /**
     * A string value.
     * @return 0 or an error code
     */
    public native int typeAllocString(QuillTypeRef result, String text);
    /**
     * A byte string; the bytes cross unchanged.
     * @return 0 or an error code
     */
    public native int typeAllocString(QuillTypeRef result, byte[] bytes);
    /**
     * An integer value.
     * @return 0 or an error code
     */
    public native int typeAllocInteger(QuillTypeRef result, long value);
    /**
     * A decimal value.
     * @return 0 or an error code
     */
    public native int typeAllocDecimal(QuillTypeRef result, double value);
    /**
     * A decimal value rounded to {@code extra} digits.
     * @return 0 or an error code
     */
    public native int typeAllocDecimal(QuillTypeRef result, double value, int extra);
    /**
     * A boolean value.
     * @return 0 or an error code
     */
    public native int typeAllocBoolean(QuillTypeRef result, boolean value);
    /**
     * A pair of two values.
     * @return 0 or an error code
     */
    public native int typeAllocPair(QuillTypeRef result, QuillTypeRef first, QuillTypeRef second);
    /**
     * A reference to {@code target}.
     * @return 0 or an error code
     */
    public native int typeAllocReference(QuillTypeRef result, QuillTypeRef target);
    /**
     * An array of {@code elements}, in order (result first, unlike {@link #typeAlloc}).
     * @return 0 or an error code
     */
    public native int typeAllocArray(QuillTypeRef result, QuillTypeRef[] elements);
    /**
     * A map; {@code items} holds key, value, key, value, ...
     * @return 0 or an error code
     */
    public native int typeAllocMap(QuillTypeRef result, QuillTypeRef[] items);
    /**
     * A map of {@code keys[i]} to {@code values[i]}.
     * @return 0 or an error code
     */
    public native int typeAllocMap(QuillTypeRef result, QuillTypeRef[] keys, QuillTypeRef[] values);
    /**
     * Compiles {@code source} into a tag value; an empty source creates nothing.
     * @return 0 (also for an empty source), -9006 when the source does not compile, or an error code
     */
    public native int typeAllocTagFromSource(QuillTypeRef result, String source);
    /**
     * An empty value of the custom type {@code typeName}.
     * @return 0 or an error code
     */
    public native int typeAllocCustom(QuillTypeRef result, String typeName);
    /**
     * A copy of {@code proto}. Note the order: the prototype first, the result second.
     * @return 0 or an error code
     */
    public native int typeAllocFromProto(QuillTypeRef proto, QuillTypeRef result);
    /**
     * A custom value of a one-off type.
     * @return 0 or an error code
     */
    public native int typeAllocOneOff(String first, String second, QuillTypeRef result);

    // ---- freeing, relating and copying values ----

    /**
     * Ends a value the request made; on success {@code value.nativeRef} becomes 0.
     * @return 0 or an error code
     */
    public native int typeFree(QuillTypeRef value);
    /**
     * Ends a value the request made; on success {@code value.nativeRef} becomes 0.
     * @return 0 or an error code
     */
    public native int typeCollect(QuillTypeRef value);
    /**
     * Turns a reference into a value of its own.
     * @return 0 or an error code
     */
    public native int typeDetach(QuillTypeRef value);
    /**
     * Makes {@code target} a copy of {@code source}.
     * @return 0 or an error code
     */
    public native int typeAssign(QuillTypeRef target, QuillTypeRef source);
    /**
     * Makes {@code parent} the parent of {@code value}.
     * @return 0 or an error code
     */
    public native int typeInheritFrom(QuillTypeRef value, QuillTypeRef parent);
    /**
     * Moves {@code source}'s content into {@code target}.
     * @return 0 or an error code
     */
    public native int typeStealValue(QuillTypeRef target, QuillTypeRef source);
    /**
     * The parent of {@code value}.
     * @return 0, -9003 when it has none, or an error code
     */
    public native int typeGetParent(QuillTypeRef value, QuillTypeRef result);
    /**
     * The child of {@code value}.
     * @return 0, -9003 when it has none, or an error code
     */
    public native int typeGetChild(QuillTypeRef value, QuillTypeRef result);
    /**
     * The properties of {@code value}, as a map.
     * @return 0 or an error code
     */
    public native int typeGetProperties(QuillTypeRef value, QuillTypeRef result);
    /**
     * The member {@code memberName} of {@code value}.
     * @return 0, -9003 when there is none, or an error code
     */
    public native int typeGetMember(QuillTypeRef value, String memberName, QuillTypeRef result);
    /**
     * @return 0 when {@code value} is of type {@code typeName} or inherits it, else 1 (the host's answer as is)
     */
    public native int typeIsA(QuillTypeRef value, String typeName);
    /**
     * @return 0 when {@code value} is of {@code other}'s type or inherits it, else 1 (the host's answer as is)
     */
    public native int typeIsA(QuillTypeRef value, QuillTypeRef other);
    /**
     * Runs the member tag {@code tagName} of {@code self} with {@code params}; its value into {@code result}.
     * @param extra passed to the host as is, may be null
     * @return 0 or the tag's error code
     */
    public native int typeRunTag(QuillTypeRef self, String tagName, QuillTypeRef[] params,
                                 QuillTypeRef result, QuillTypeRef extra);
    /**
     * {@link #typeRunTag(QuillTypeRef, String, QuillTypeRef[], QuillTypeRef, QuillTypeRef)} with one parameter.
     * @return 0 or the tag's error code
     */
    public native int typeRunTag(QuillTypeRef self, String tagName, QuillTypeRef param,
                                 QuillTypeRef result, QuillTypeRef extra);

    // ---- reading values ----

    /**
     * The value's text into {@code out.data}, its type code into {@code out.type}.
     * @return 0 or an error code
     */
    public native int typeGetString(QuillTypeRef value, QuillValue out);
    /**
     * As {@link #typeGetString}; {@code charset} must not be null but is otherwise not used.
     * @return 0 or an error code
     */
    public native int typeGetStringConv(QuillTypeRef value, QuillValue out, String charset);
    /**
     * The value's type name into {@code out.data}.
     * @return 0 or an error code
     */
    public native int typeGetName(QuillTypeRef value, QuillValue out);
    /**
     * @return the value's bytes unchanged, or null
     */
    public native byte[] typeGetBytes(QuillTypeRef value);
    /**
     * The value as an integer.
     * @return 0, -9005 when it is no number, or an error code
     */
    public native int typeGetInteger(QuillTypeRef value, IntValue out);
    /**
     * The value as a decimal.
     * @return 0, -9005 when it is no number, or an error code
     */
    public native int typeGetDecimal(QuillTypeRef value, FloatValue out);
    /**
     * The 32-bit number in the value's pointer member, sign-extended.
     * @return 0 or an error code
     */
    public native int typeGetCustomPtr(QuillTypeRef value, IntValue out);

    // ---- changing values ----

    /**
     * @return 0 or an error code
     */
    public native int typeSetString(QuillTypeRef value, String text);
    /**
     * @return 0 or an error code
     */
    public native int typeAppendString(QuillTypeRef value, String text);
    /**
     * Sets the value to {@code bytes} read in {@code charset} ("UTF-8", "ISO-8859-1", "BINARY").
     * @return 0 or an error code
     */
    public native int typeSetStringConv(QuillTypeRef value, byte[] bytes, String charset);
    /**
     * Makes the value a byte string of {@code bytes}.
     * @return 0 or an error code
     */
    public native int typeSetBytes(QuillTypeRef value, byte[] bytes);
    /**
     * @return 0 or an error code
     */
    public native int typeSetInteger(QuillTypeRef value, long number);
    /**
     * @return 0 or an error code
     */
    public native int typeSetDecimal(QuillTypeRef value, double number);
    /**
     * Sets a decimal rounded to {@code extra} digits.
     * @return 0 or an error code
     */
    public native int typeSetDecimal(QuillTypeRef value, double number, int extra);
    /**
     * @return 0 or an error code
     */
    public native int typeSetBoolean(QuillTypeRef value, boolean flag);
    /**
     * Keeps a 32-bit number in the value's pointer member.
     * @return 0 or an error code
     */
    public native int typeSetCustomPtr(QuillTypeRef value, int pointer);
    /**
     * Sets bits {@code flag} of the value's flag word.
     * @return 0 or an error code
     */
    public native int typeSetFlag(QuillTypeRef value, int flag);
    /**
     * @return 1 when bits {@code flag} are set, else 0 (the host's answer as is)
     */
    public native int typeHasFlag(QuillTypeRef value, int flag);
    /**
     * Clears bits {@code flag} of the value's flag word.
     * @return 0 or an error code
     */
    public native int typeClearFlag(QuillTypeRef value, int flag);
    /**
     * Sets bits {@code flag} of a tag value's flags.
     * @return 0 or an error code
     */
    public native int tagSetFlag(QuillTypeRef tag, int flag);
    /**
     * @return 1 when the tag value has bits {@code flag}, else 0 (the host's answer as is)
     */
    public native int tagHasFlag(QuillTypeRef tag, int flag);
    /**
     * Clears bits {@code flag} of a tag value's flags.
     * @return 0 or an error code
     */
    public native int tagClearFlag(QuillTypeRef tag, int flag);

    // ---- arrays, maps and pairs ----
    // Indexes count from 0; an index past the end answers -9004 (arraySetElement appends at the
    // size).

    /**
     * @return 0 or an error code
     */
    public native int arrayGetSize(QuillTypeRef array, IntValue out);
    /**
     * @return 0, -9004 past the end, or an error code
     */
    public native int arrayGetElement(QuillTypeRef array, int index, QuillTypeRef result);
    /**
     * @return 0 or an error code
     */
    public native int arraySetElement(QuillTypeRef array, int index, QuillTypeRef element);
    /**
     * @return 0, -9004 past the end, or an error code
     */
    public native int arrayRemoveElement(QuillTypeRef array, int index);
    /**
     * @return 0 or an error code
     */
    public native int mapGetSize(QuillTypeRef map, IntValue out);
    /**
     * @return 0, -9003 when the key is missing, or an error code
     */
    public native int mapFindElement(QuillTypeRef map, QuillTypeRef key, QuillTypeRef result);
    /**
     * Element {@code index} as a pair of key and value.
     * @return 0, -9004 past the end, or an error code
     */
    public native int mapGetElement(QuillTypeRef map, int index, QuillTypeRef result);
    /**
     * @return 0 or an error code
     */
    public native int mapSetElement(QuillTypeRef map, QuillTypeRef key, QuillTypeRef value);
    /**
     * @return 0, -9003 when the key is missing, or an error code
     */
    public native int mapRemoveElement(QuillTypeRef map, QuillTypeRef key);
    /**
     * @return 0 or an error code
     */
    public native int pairGetFirst(QuillTypeRef pair, QuillTypeRef result);
    /**
     * @return 0 or an error code
     */
    public native int pairGetSecond(QuillTypeRef pair, QuillTypeRef result);
    /**
     * @return 0 or an error code
     */
    public native int pairSetFirst(QuillTypeRef pair, QuillTypeRef value);
    /**
     * @return 0 or an error code
     */
    public native int pairSetSecond(QuillTypeRef pair, QuillTypeRef value);

    // ---- external byte forms ----

    /**
     * The external form {@code name} (e.g. "serialized") of {@code value}.
     * @return the bytes, or null (also for an unknown form)
     */
    public native byte[] handleExternalConversion(QuillTypeRef value, String name);
    /**
     * Makes a value from the external form {@code name}; an empty {@code data} array creates nothing.
     * @return 0, -9003 for an unknown form, or an error code
     */
    public native int handleInternalConversion(byte[] data, String name, int extra, QuillTypeRef result);

    // ---- Java objects carried by values, member tags ----

    /**
     * Lets {@code value} carry {@code object} (held by a global reference until the value ends).
     * @return 0, {@link QuillError#NOTHING_TO_DO} when it already carries one, or an error code
     */
    public native int typeSetCustomJavaObject(QuillTypeRef value, Object object);
    /**
     * @return the value's Java object, or null
     */
    public native Object typeGetCustomJavaObject(QuillTypeRef value);
    /**
     * Releases the value's Java object.
     * @return 0 or an error code
     */
    public native int typeFreeCustomJavaObject(QuillTypeRef value);
    /**
     * Makes a tag value whose body is {@code methodName} of {@code className} (slash form).
     * @return 0 or an error code
     */
    public native int typeAllocTag(QuillTypeRef result, String className, String methodName);
    /**
     * Adds the tag value {@code member} to {@code type} as member {@code memberName}.
     * @return 0 or an error code
     */
    public native int typeAddMember(QuillTypeRef type, String memberName, QuillTypeRef member);
    /**
     * {@link #typeAllocTag} and {@link #typeAddMember} in one call.
     * @return 0, {@link QuillError#NOTHING_TO_DO} when the method is not found, or an error code
     */
    public native int typeAddMemberTag(String className, String methodName, QuillTypeRef type, String memberName);

    // ---- data-source actions: parameters ----
    // Outside a data-source action (in a tag) these answer -9003, except getDataHostID.

    /**
     * {@code name}: the database; {@code flag}: 1 when the script named one; {@code second}: the data source's and its host's names. Each is optional, one is required.
     * @return 0 or an error code
     */
    public native int getDataSourceName(QuillValue name, IntValue flag, QuillValue second);
    /**
     * The schema into {@code schema.data}.
     * @return 0 or an error code
     */
    public native int getSchemaName(QuillValue schema);
    /**
     * The table into {@code table.data}.
     * @return 0 or an error code
     */
    public native int getTableName(QuillValue table);
    /**
     * The host's id (0 without a host, and outside a data-source action).
     * @return 0 or an error code
     */
    public native int getDataHostID(IntValue id);
    /**
     * {@code first}: the host's name or URL (type: its id); {@code second}: user and password. Each optional, one required.
     * @return 0 or an error code
     */
    public native int getDataHost(QuillValue first, QuillValue second);
    /**
     * As {@link #getDataHost(QuillValue, QuillValue)}; {@code third}: the data source's name and the host id as text.
     * @return 0 or an error code
     */
    public native int getDataHost(QuillValue first, QuillValue second, QuillValue third);
    /**
     * Rows to skip.
     * @return 0 or an error code
     */
    public native int getSkipRows(IntValue count);
    /**
     * Most rows to return (-1: no limit).
     * @return 0 or an error code
     */
    public native int getMaxRows(IntValue count);
    /**
     * The row id the script gave.
     * @return 0 or an error code
     */
    public native int getRowID(IntValue id);
    /**
     * The row id to report back to the script.
     * @return 0 or an error code
     */
    public native int setRowID(int id);
    /**
     * The key column's name and value (empty name, null value when none).
     * @return 0 or an error code
     */
    public native int getPrimaryKeyColumn(QuillValue column);
    /**
     * @return 0 or an error code
     */
    public native int getInputColumnCount(IntValue count);
    /**
     * Input column {@code index}: name = column, data = value (may be null), type = a {@link SearchOp} code.
     * @return 0, -9004 past the end, or an error code
     */
    public native int getInputColumn(int index, QuillValue column);
    /**
     * The first input column named {@code name}.
     * @return 0, -9003 when there is none, or an error code
     */
    public native int findInputColumn(String name, QuillValue column);
    /**
     * {@link SearchOp#AND} or {@link SearchOp#OR}.
     * @return 0 or an error code
     */
    public native int getLogicalOp(IntValue op);
    /**
     * @return 0 or an error code
     */
    public native int getSortColumnCount(IntValue count);
    /**
     * Sort column {@code index}: name = data = column, type 1 descending, 0 ascending.
     * @return 0, -9004 past the end, or an error code
     */
    public native int getSortColumn(int index, QuillValue column);
    /**
     * The number of columns to return; 0 means all.
     * @return 0 or an error code
     */
    public native int getReturnColumnCount(IntValue count);
    /**
     * @return 0, -9004 past the end, or an error code
     */
    public native int getReturnColumn(int index, QuillValue column);
    /**
     * The data source's name.
     * @return 0 or an error code
     */
    public native int getDataSourceModuleName(QuillValue name);
    /**
     * @return 0 for a statement-only action, {@link QuillError#NOTHING_TO_DO} otherwise
     */
    public native int getIsStatementOnly();

    // ---- data-source actions: connection and results ----

    /**
     * @return the connection object stored by {@link #setDSConnection}, or null
     */
    public native Object getDSConnection();
    /**
     * Stores {@code connection} for later actions of this request on this data source and host; null empties the slot.
     * @return 0 or an error code
     */
    public native int setDSConnection(Object connection);
    /**
     * Adds one name to a database, table or schema list.
     * @return 0 or an error code
     */
    public native int addDataSourceResult(String text);
    /**
     * Describes the next result column; columns are described in the order of the cells of
     * every row.
     *
     * @param name the column's name (ISO-8859-1)
     * @param a    the column's type: a {@link TypeCode} ({@link TypeCode#TEXT}, {@link TypeCode#LONG}, ...)
     * @param b    its size: the most characters (or bytes) a value takes, 0 when unknown
     * @param c    flags: 1 may be null, 2 key
     * @return 0 or an error code
     */
    public native int addColumnInfo(String name, int a, int b, int c);
    /**
     * {@link #addColumnInfo} with the list of values the column allows.
     * @return 0 or an error code
     */
    public native int addColumnInfo2(String name, int a, int b, int c, String[] values);
    /**
     * Describes every result column in one call, as {@link #addColumnInfo} for each in turn:
     * column i is {@code names[i]} with {@code types[i]}, {@code sizes[i]} and {@code flags[i]}.
     * @return 0, -9006 when the arrays differ in length, or an error code; arrays of different
     *         lengths or a name that cannot be read add no column
     */
    public native int addColumnInfos(String[] names, int[] types, int[] sizes, int[] flags);
    /**
     * Adds a row, cells in column order; a null cell is a null value.
     * @return 0 or an error code
     */
    public native int addResultRow(String[] row);
    /**
     * Adds a row of byte cells, copied unchanged.
     * @return 0 or an error code
     */
    public native int addResultRow(byte[][] row);
    /**
     * Many rows in one call, for sources that return large results: {@code cellCount} cells
     * (a multiple of {@code columns}), row after row, whose bytes follow each other in
     * {@code data}; {@code lengths[i]} is cell i's byte count, -1 for a null cell. Text cells are
     * UTF-8. The rows reach the host exactly as {@link #addResultRow(byte[][])} would hand them
     * over one by one.
     *
     * @return 0, -9006 for a malformed batch (which adds no row), or an error code
     */
    public native int addResultRows(int columns, int cellCount, byte[] data, int[] lengths);
    /**
     * The number of rows found, e.g. before skip and limit.
     * @return 0 or an error code
     */
    public native int setNumRowsFound(int count);
    /**
     * The statement the action ran, for the script to read.
     * @return 0 or an error code
     */
    public native int setActionStatement(String statement);
}
