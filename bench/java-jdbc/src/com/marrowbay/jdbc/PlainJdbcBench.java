package com.marrowbay.jdbc;

import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillTagModule;
import com.sun.management.GarbageCollectionNotificationInfo;
import java.lang.management.GarbageCollectorMXBean;
import java.lang.management.ManagementFactory;
import java.lang.management.MemoryUsage;
import java.sql.Connection;
import java.sql.ResultSet;
import java.sql.Statement;
import java.util.Properties;
import java.util.concurrent.atomic.AtomicLong;
import javax.management.NotificationEmitter;
import javax.management.openmbean.CompositeData;

/**
 * The benchmark's yardstick: plain JDBC in the server's VM, with the very driver object the
 * connector's data source uses (drivers live in class loaders of their own), one connection, and
 * every cell read as text, as the connector reads it.
 */
public class PlainJdbcBench extends QuillTagModule {
    public PlainJdbcBench() {
    }

    @Override
    public void registerModule() {
        registerTag("jdbc_plain", "plain",
                "jdbc_plain(source, url, user, password, sql, runs, best[, 'cursor'[, 'cpu']]): ns of the fastest run"
                        + " (best) or per run; 'cursor' reads through the connector's cursor (its first fetch size"
                        + " throughout, in a transaction where the driver's cursor needs one); 'cpu' counts the thread's"
                        + " CPU time");
        registerTag("heap_watch", "heapWatch",
                "heap_watch('start'|'stop'): KiB the heap held beyond the start, at most, after any collection between");
    }

    private static final AtomicLong MOST_AFTER_GC = new AtomicLong();
    private static final java.util.Set<String> HEAP_POOLS = new java.util.HashSet<>();
    private static volatile boolean listening;
    private static long baseline;

    /**
     * What a workload keeps alive, not what it allocates: the heap in use right after each
     * collection during the watch (the bench runs with a small young generation, so collections
     * are frequent), its largest value, less the heap in use after a full collection at the start.
     */
    public int heapWatch(QuillCall call, int argument) {
        if ("start".equals(call.param(0))) {
            listen();
            System.gc();
            baseline = ManagementFactory.getMemoryMXBean().getHeapMemoryUsage().getUsed();
            MOST_AFTER_GC.set(baseline);
            return call.returnTagValueInteger(0);
        }
        return call.returnTagValueInteger((int) ((MOST_AFTER_GC.get() - baseline) / 1024));
    }

    private static synchronized void listen() {
        if (listening) return;
        listening = true;
        for (java.lang.management.MemoryPoolMXBean pool : ManagementFactory.getMemoryPoolMXBeans()) {
            if (pool.getType() == java.lang.management.MemoryType.HEAP) HEAP_POOLS.add(pool.getName());
        }
        for (GarbageCollectorMXBean collector : ManagementFactory.getGarbageCollectorMXBeans()) {
            if (!(collector instanceof NotificationEmitter emitter)) continue;
            emitter.addNotificationListener((notification, handback) -> {
                if (!notification.getType().equals(GarbageCollectionNotificationInfo.GARBAGE_COLLECTION_NOTIFICATION)) {
                    return;
                }
                GarbageCollectionNotificationInfo info =
                        GarbageCollectionNotificationInfo.from((CompositeData) notification.getUserData());
                long used = 0;
                for (java.util.Map.Entry<String, MemoryUsage> pool : info.getGcInfo().getMemoryUsageAfterGc().entrySet()) {
                    if (HEAP_POOLS.contains(pool.getKey())) used += pool.getValue().getUsed();
                }
                MOST_AFTER_GC.accumulateAndGet(used, Math::max);
            }, null, null);
        }
    }

    /**
     * Runs the query once to warm up, then `runs` times; returns the nanoseconds of the fastest
     * run when `best` is true, else the mean per run.
     */
    public int plain(QuillCall call, int argument) {
        try {
            JDBCConnector source = JDBCLoader.SOURCES.get(call.param(0));
            Properties login = new Properties();
            if (!call.param(2).isEmpty()) login.setProperty("user", call.param(2));
            if (!call.param(3).isEmpty()) login.setProperty("password", call.param(3));
            String sql = call.param(4);
            int runs = Integer.parseInt(call.param(5));
            boolean best = "true".equals(call.param(6));
            int fetchSize = call.paramCount() > 7 && "cursor".equals(call.param(7)) ? JDBCConnector.FETCH_SIZE : 0;
            java.util.function.LongSupplier clock = call.paramCount() > 8 && "cpu".equals(call.param(8))
                    ? ManagementFactory.getThreadMXBean()::getCurrentThreadCpuTime
                    : System::nanoTime;
            try (Connection connection = source.current.driver.connect(call.param(1), login)) {
                boolean inTransaction = fetchSize > 0 && source.current.cursorNeedsTransaction;
                long rows = read(connection, sql, fetchSize, inTransaction);
                long fastest = Long.MAX_VALUE;
                long start = clock.getAsLong();
                for (int i = 0; i < runs; i++) {
                    long run = clock.getAsLong();
                    rows += read(connection, sql, fetchSize, inTransaction);
                    fastest = Math.min(fastest, clock.getAsLong() - run);
                }
                long elapsed = clock.getAsLong() - start;
                if (rows == 0) return call.setResultMessage("no rows");
                return call.returnTagValueInteger(best ? fastest : elapsed / runs);
            }
        } catch (Exception e) {
            call.setResultMessage(e.toString());
            return -1;
        }
    }

    private static long read(Connection connection, String sql, int fetchSize, boolean inTransaction) throws Exception {
        long rows;
        if (inTransaction) connection.setAutoCommit(false);
        try (Statement statement = connection.createStatement()) {
            statement.setFetchSize(fetchSize);
            rows = read(statement.executeQuery(sql));
        }
        if (inTransaction) {
            connection.commit();
            connection.setAutoCommit(true);
        }
        return rows;
    }

    private static long read(ResultSet opened) throws Exception {
        long rows = 0;
        try (ResultSet result = opened) {
            int columns = result.getMetaData().getColumnCount();
            while (result.next()) {
                String[] row = new String[columns];
                for (int i = 0; i < columns; i++) row[i] = result.getString(i + 1);
                if (row.length > 0) rows++;
            }
        }
        return rows;
    }
}
