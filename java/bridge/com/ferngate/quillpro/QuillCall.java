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

    /** The request token of the host call this object is bound to; 0 when unbound. */
    public int nativeRef;

    public QuillCall() {
    }

    // ---- convenience (thin wrappers over the natives) ----

    /** True while this object names a host call (its token is not 0). */
    public boolean isBound() {
        return nativeRef != 0;
    }

    /** The text of positional tag parameter {@code index}, or null when there is none. */
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

    /** Reads request parameter {@code which}; {@code value.name} names it and is kept. */
    public native int getRequestParam(int which, QuillValue value);
    /** Reads server parameter {@code which} into {@code value} (name untouched). */
    public native int getQuillParam(int which, QuillValue value);
    public native int setResultCode(int code);
    public native int setResultMessage(String message);
    public native int outputTagData(String text);
    /** Writes raw bytes to the output; an empty array writes nothing and returns 0. */
    public native int outputTagData(byte[] data);
    public native int getResultHeader(QuillValue header);
    public native int setResultHeader(String header);
    public native int addResultHeader(String header);
    public native int getCookieValue(String name, QuillValue cookie);

    // ---- the running tag ----

    public native int getTagName(QuillValue name);
    public native int getTagParamCount(IntValue count);
    public native int getTagParam(int index, QuillValue param);
    /** Returns the host's answer as is. */
    public native int tagParamIsDefined(String name);
    public native int findTagParam(String name, QuillValue param);
    public native int getTagEncoding(IntValue encoding);
    public native int getTagParam2(int index, QuillTypeRef param);
    public native int findTagParam2(String name, QuillTypeRef param);
    public native int getTagSelf(QuillTypeRef self);
    /** Runs the body of a container tag; {@code result} receives the value it produced. */
    public native int childrenRun(QuillTypeRef result);
    public native int findTag(String name, QuillTypeRef tag, boolean flag);
    public native int tagGetReturnType(QuillTypeRef tag, QuillValue type);
    public native int tagSetReturnType(QuillTypeRef tag, String typeName);
    public native int tagGetExpectedParamCount(QuillTypeRef tag, IntValue count);
    /** {@code param} and {@code number} are optional (null skips them). */
    public native int tagGetExpectedParam(QuillTypeRef tag, int index, QuillValue param, IntValue number);

    // ---- the tag's value ----

    public native int returnTagValue(QuillTypeRef value);
    public native int returnTagValueBoolean(boolean value);
    public native int returnTagValueInteger(long value);
    public native int returnTagValueDecimal(double value);
    public native int returnTagValueString(String value);

    // ---- variables ----

    public native int getVariableCount(String name, IntValue count);
    public native int getVariable(String name, int index, QuillValue value);
    public native int setVariable(String name, String value, int mode);
    public native int removeVariable(String name, int mode);
    public native int getVariable2(String name, QuillTypeRef value);
    public native int setVariable2(String name, QuillTypeRef value);

    // ---- semaphores, formatting, stored data ----

    public native int createSem(String name);
    public native int destroySem(String name);
    public native int acquireSem(String name);
    public native int releaseSem(String name);
    /** {@code result} is optional. */
    public native int formatBuffer(String text, QuillValue result);
    /** {@code present} is optional. */
    public native int storeHasData(String key, IntValue present);
    public native int storePutData(String key, String value);
    public native int storePutData(String key, byte[] value);
    public native int storeGetData(String key, QuillValue value);

    // ---- users and rights ----

    /** Returns the host's answer as is. */
    public native int isAdministrator();
    /** Returns the host's answer as is. */
    public native int isAnonymous();
    public native int operationAllowed(int operation, String target);
    public native int switchToUser(String user, String second);

    // ---- constants and logging (no token needed) ----

    public native int registerConstant(String name, QuillTypeRef value);
    public native int registerConstant2(String first, String second, QuillTypeRef value);
    /** Logs {@code message} verbatim at {@code level}. */
    public native int log(int level, String message);

    // ---- paths ----

    /** Null for a null path; the path itself when it cannot be converted. Needs no token. */
    public native String getPlatformSpecificPath(String path);
    /** Null for a null path; the path itself when it cannot be converted. Needs no token. */
    public native String getInternalPath(String path);
    public native String fullyQualifyPath(String path);
    public native String resolvePath(String path);
    public native String resolveIncludePath(String path);
    public native String internalToFullPlatformPath(String path);
    /** Needs no token; false for a null path. */
    public native boolean isFullInternalPath(String path);
    public native int setAutoResolveFullPaths(boolean enable);
    public native boolean getAutoResolveFullPaths();

    // ---- other services ----

    public native int includeRaw(String path, QuillValue content);
    /** The site id (not an error code), or {@link QuillError#NO_CALL} when unbound. */
    public native int getSiteID();
    /** The site name, or null. */
    public native String getSiteName();
    /** Placeholder kept for compatibility: always returns -1. */
    public native int outputTagDataF(int first, int second);
    /**
     * Runs {@code methodName} of the tag-module class {@code className} (slash-separated JNI
     * name) on a fresh instance with a fresh request object and {@code argument}; returns the
     * method's result or {@link QuillError#NOTHING_TO_DO}. {@code unused} is not read.
     */
    public native int runRequest(String className, String methodName, int argument, int unused);

    // ---- creating values ----

    /** {@code params} may be null; {@code result} comes last. */
    public native int typeAlloc(String typeName, QuillTypeRef[] params, QuillTypeRef result);
    public native int typeAllocNull(QuillTypeRef result);
    public native int typeAllocString(QuillTypeRef result, String text);
    /** A byte string; the bytes cross unchanged. */
    public native int typeAllocString(QuillTypeRef result, byte[] bytes);
    public native int typeAllocInteger(QuillTypeRef result, long value);
    public native int typeAllocDecimal(QuillTypeRef result, double value);
    public native int typeAllocDecimal(QuillTypeRef result, double value, int extra);
    public native int typeAllocBoolean(QuillTypeRef result, boolean value);
    public native int typeAllocPair(QuillTypeRef result, QuillTypeRef first, QuillTypeRef second);
    public native int typeAllocReference(QuillTypeRef result, QuillTypeRef target);
    public native int typeAllocArray(QuillTypeRef result, QuillTypeRef[] elements);
    /** {@code items} holds key, value, key, value, ... */
    public native int typeAllocMap(QuillTypeRef result, QuillTypeRef[] items);
    public native int typeAllocMap(QuillTypeRef result, QuillTypeRef[] keys, QuillTypeRef[] values);
    /** Compiles {@code source} into a tag value; an empty source returns 0 and creates nothing. */
    public native int typeAllocTagFromSource(QuillTypeRef result, String source);
    public native int typeAllocCustom(QuillTypeRef result, String typeName);
    /** Note the order: the prototype first, the result second. */
    public native int typeAllocFromProto(QuillTypeRef proto, QuillTypeRef result);
    public native int typeAllocOneOff(String first, String second, QuillTypeRef result);

    // ---- freeing, relating and copying values ----

    /** On success {@code value.nativeRef} becomes 0. */
    public native int typeFree(QuillTypeRef value);
    /** On success {@code value.nativeRef} becomes 0. */
    public native int typeCollect(QuillTypeRef value);
    public native int typeDetach(QuillTypeRef value);
    public native int typeAssign(QuillTypeRef target, QuillTypeRef source);
    public native int typeInheritFrom(QuillTypeRef value, QuillTypeRef parent);
    public native int typeStealValue(QuillTypeRef target, QuillTypeRef source);
    public native int typeGetParent(QuillTypeRef value, QuillTypeRef result);
    public native int typeGetChild(QuillTypeRef value, QuillTypeRef result);
    public native int typeGetProperties(QuillTypeRef value, QuillTypeRef result);
    public native int typeGetMember(QuillTypeRef value, String memberName, QuillTypeRef result);
    /** Returns the host's answer as is. */
    public native int typeIsA(QuillTypeRef value, String typeName);
    /** Returns the host's answer as is. */
    public native int typeIsA(QuillTypeRef value, QuillTypeRef other);
    public native int typeRunTag(QuillTypeRef self, String tagName, QuillTypeRef[] params,
                                 QuillTypeRef result, QuillTypeRef extra);
    public native int typeRunTag(QuillTypeRef self, String tagName, QuillTypeRef param,
                                 QuillTypeRef result, QuillTypeRef extra);

    // ---- reading values ----

    public native int typeGetString(QuillTypeRef value, QuillValue out);
    /** {@code charset} must not be null but is otherwise not used. */
    public native int typeGetStringConv(QuillTypeRef value, QuillValue out, String charset);
    public native int typeGetName(QuillTypeRef value, QuillValue out);
    /** The value's bytes unchanged, or null. */
    public native byte[] typeGetBytes(QuillTypeRef value);
    public native int typeGetInteger(QuillTypeRef value, IntValue out);
    public native int typeGetDecimal(QuillTypeRef value, FloatValue out);
    public native int typeGetCustomPtr(QuillTypeRef value, IntValue out);

    // ---- changing values ----

    public native int typeSetString(QuillTypeRef value, String text);
    public native int typeAppendString(QuillTypeRef value, String text);
    public native int typeSetStringConv(QuillTypeRef value, byte[] bytes, String charset);
    public native int typeSetBytes(QuillTypeRef value, byte[] bytes);
    public native int typeSetInteger(QuillTypeRef value, long number);
    public native int typeSetDecimal(QuillTypeRef value, double number);
    public native int typeSetDecimal(QuillTypeRef value, double number, int extra);
    public native int typeSetBoolean(QuillTypeRef value, boolean flag);
    public native int typeSetCustomPtr(QuillTypeRef value, int pointer);
    public native int typeSetFlag(QuillTypeRef value, int flag);
    /** Returns the host's answer as is. */
    public native int typeHasFlag(QuillTypeRef value, int flag);
    public native int typeClearFlag(QuillTypeRef value, int flag);
    public native int tagSetFlag(QuillTypeRef tag, int flag);
    /** Returns the host's answer as is. */
    public native int tagHasFlag(QuillTypeRef tag, int flag);
    public native int tagClearFlag(QuillTypeRef tag, int flag);

    // ---- arrays, maps and pairs ----

    public native int arrayGetSize(QuillTypeRef array, IntValue out);
    public native int arrayGetElement(QuillTypeRef array, int index, QuillTypeRef result);
    public native int arraySetElement(QuillTypeRef array, int index, QuillTypeRef element);
    public native int arrayRemoveElement(QuillTypeRef array, int index);
    public native int mapGetSize(QuillTypeRef map, IntValue out);
    public native int mapFindElement(QuillTypeRef map, QuillTypeRef key, QuillTypeRef result);
    public native int mapGetElement(QuillTypeRef map, int index, QuillTypeRef result);
    public native int mapSetElement(QuillTypeRef map, QuillTypeRef key, QuillTypeRef value);
    public native int mapRemoveElement(QuillTypeRef map, QuillTypeRef key);
    public native int pairGetFirst(QuillTypeRef pair, QuillTypeRef result);
    public native int pairGetSecond(QuillTypeRef pair, QuillTypeRef result);
    public native int pairSetFirst(QuillTypeRef pair, QuillTypeRef value);
    public native int pairSetSecond(QuillTypeRef pair, QuillTypeRef value);

    // ---- external byte forms ----

    /** The external bytes of {@code value}, or null. */
    public native byte[] handleExternalConversion(QuillTypeRef value, String name);
    /** An empty {@code data} array returns 0 and creates nothing. */
    public native int handleInternalConversion(byte[] data, String name, int extra, QuillTypeRef result);

    // ---- Java objects carried by values, member tags ----

    /** Fails with {@link QuillError#NOTHING_TO_DO} when the value already carries an object. */
    public native int typeSetCustomJavaObject(QuillTypeRef value, Object object);
    /** The value's Java object, or null. */
    public native Object typeGetCustomJavaObject(QuillTypeRef value);
    public native int typeFreeCustomJavaObject(QuillTypeRef value);
    /** Makes a tag value whose body is {@code methodName} of {@code className} (slash form). */
    public native int typeAllocTag(QuillTypeRef result, String className, String methodName);
    public native int typeAddMember(QuillTypeRef type, String memberName, QuillTypeRef member);
    public native int typeAddMemberTag(String className, String methodName, QuillTypeRef type, String memberName);

    // ---- data-source actions: parameters ----

    /** Each out-parameter is optional; at least one must be given. */
    public native int getDataSourceName(QuillValue name, IntValue flag, QuillValue second);
    public native int getSchemaName(QuillValue schema);
    public native int getTableName(QuillValue table);
    public native int getDataHostID(IntValue id);
    /** Each out-parameter is optional; at least one must be given. */
    public native int getDataHost(QuillValue first, QuillValue second);
    /** Each out-parameter is optional; at least one must be given. */
    public native int getDataHost(QuillValue first, QuillValue second, QuillValue third);
    public native int getSkipRows(IntValue count);
    public native int getMaxRows(IntValue count);
    public native int getRowID(IntValue id);
    public native int setRowID(int id);
    public native int getPrimaryKeyColumn(QuillValue column);
    public native int getInputColumnCount(IntValue count);
    public native int getInputColumn(int index, QuillValue column);
    public native int findInputColumn(String name, QuillValue column);
    public native int getLogicalOp(IntValue op);
    public native int getSortColumnCount(IntValue count);
    public native int getSortColumn(int index, QuillValue column);
    public native int getReturnColumnCount(IntValue count);
    public native int getReturnColumn(int index, QuillValue column);
    public native int getDataSourceModuleName(QuillValue name);
    /** 0 for a statement-only action, {@link QuillError#NOTHING_TO_DO} otherwise. */
    public native int getIsStatementOnly();

    // ---- data-source actions: connection and results ----

    /** The connection object stored by {@link #setDSConnection}, or null. */
    public native Object getDSConnection();
    public native int setDSConnection(Object connection);
    public native int addDataSourceResult(String text);
    public native int addColumnInfo(String name, int a, int b, int c);
    public native int addColumnInfo2(String name, int a, int b, int c, String[] values);
    public native int addResultRow(String[] row);
    public native int addResultRow(byte[][] row);
    /**
     * Many rows in one call, for sources that return large results: {@code cellCount} cells
     * (a multiple of {@code columns}), row after row, whose bytes follow each other in
     * {@code data}; {@code lengths[i]} is cell i's byte count, -1 for a null cell. Text cells are
     * UTF-8. The rows reach the host exactly as {@link #addResultRow(byte[][])} would hand them
     * over one by one; a malformed batch (-9006) adds no row.
     */
    public native int addResultRows(int columns, int cellCount, byte[] data, int[] lengths);
    public native int setNumRowsFound(int count);
    public native int setActionStatement(String statement);
}
