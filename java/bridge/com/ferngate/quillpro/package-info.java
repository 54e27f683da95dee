/**
 * The classes a Java module of the server is written with; new modules use this package.
 *
 * <p>A module extends {@link com.ferngate.quillpro.QuillTagModule} (script tags) or
 * {@link com.ferngate.quillpro.QuillDSModule} (a data source), is listed in
 * {@code META-INF/services/com.ferngate.quillpro.QuillJavaModule}, and talks to the server through
 * the natives of {@link com.ferngate.quillpro.QuillCall}, which fill the out-parameters
 * {@link com.ferngate.quillpro.QuillValue}, {@link com.ferngate.quillpro.IntValue},
 * {@link com.ferngate.quillpro.FloatValue} and {@link com.ferngate.quillpro.QuillTypeRef}.
 * Every native returning {@code int} answers 0 for success, the server's own error code, or one of
 * {@link com.ferngate.quillpro.QuillError}; {@link com.ferngate.quillpro.TypeCode} and
 * {@link com.ferngate.quillpro.SearchOp} name the four-character codes, and
 * {@link com.ferngate.quillpro.QuillLog} writes to the server's log.
 *
 * <p>The package {@code com.marrowbay.quillpro} holds a second set of the same classes, kept so
 * that existing modules run unchanged; a new module need not use it.
 */
package com.ferngate.quillpro;
