package org.slf4j.impl;

import com.ferngate.quillpro.slf4j.QuillLoggerFactory;
import org.slf4j.ILoggerFactory;
import org.slf4j.spi.LoggerFactoryBinder;

/** The SLF4J 1.7 binding: SLF4J finds this class by name and logs through the server's log. */
public final class StaticLoggerBinder implements LoggerFactoryBinder {
    private static final StaticLoggerBinder SINGLETON = new StaticLoggerBinder();

    /** The SLF4J API version this binding is compiled for; read by SLF4J's version check. */
    public static String REQUESTED_API_VERSION = "1.7.32";

    private final ILoggerFactory factory = new QuillLoggerFactory();

    private StaticLoggerBinder() {
    }

    /** The binder SLF4J asks for. */
    public static StaticLoggerBinder getSingleton() {
        return SINGLETON;
    }

    @Override
    public ILoggerFactory getLoggerFactory() {
        return factory;
    }

    @Override
    public String getLoggerFactoryClassStr() {
        return QuillLoggerFactory.class.getName();
    }
}
