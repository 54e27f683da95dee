package org.slf4j.impl;

import org.slf4j.helpers.BasicMDCAdapter;
import org.slf4j.spi.MDCAdapter;

/** SLF4J's diagnostic context: kept per thread; the log lines do not show it. */
public final class StaticMDCBinder {
    /** The binder SLF4J asks for. */
    public static final StaticMDCBinder SINGLETON = new StaticMDCBinder();

    private StaticMDCBinder() {
    }

    /** The binder SLF4J asks for. */
    public static StaticMDCBinder getSingleton() {
        return SINGLETON;
    }

    /** A per-thread map. */
    public MDCAdapter getMDCA() {
        return new BasicMDCAdapter();
    }

    /** The adapter's class name. */
    public String getMDCAdapterClassStr() {
        return BasicMDCAdapter.class.getName();
    }
}
