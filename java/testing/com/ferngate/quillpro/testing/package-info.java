/**
 * Tests for modules ({@code QJAPI-testing.jar}): {@link com.ferngate.quillpro.testing.QuillTestRoot}
 * runs scripts against the module jars under test in a throwaway server root and returns their
 * output, codes and log, for JUnit tests or any other.
 */
package com.ferngate.quillpro.testing;
