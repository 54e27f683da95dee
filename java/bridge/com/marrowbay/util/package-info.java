/**
 * The bridge's own start-up: the server loads its native library and the modules through
 * {@link com.marrowbay.util.NativeLoader}. Not for modules.
 */
package com.marrowbay.util;
