/**
 * Classes kept for existing modules; new modules use {@code com.ferngate.quillpro}.
 *
 * <p>Each class here extends (or is the base of) its namesake there, so a method declared with
 * either package's {@code QuillCall} or {@code QuillValue} accepts what the server passes. One
 * thing only this package offers: the registration of
 * {@link com.marrowbay.quillpro.QuillTagModule} that names a module, which accepts only tag
 * methods declared with {@link com.marrowbay.quillpro.QuillCall}.
 */
package com.marrowbay.quillpro;
