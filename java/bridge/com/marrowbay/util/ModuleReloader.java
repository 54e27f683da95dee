package com.marrowbay.util;

import com.ferngate.quillpro.QuillJavaModule;
import com.ferngate.quillpro.QuillLog;
import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.net.MalformedURLException;
import java.net.URL;
import java.net.URLConnection;
import java.net.URLStreamHandler;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Enumeration;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.stream.Stream;
import java.util.zip.ZipEntry;
import java.util.zip.ZipInputStream;

/**
 * Watches the module folder and loads a module jar again when it changes: its classes come from
 * a new class loader that reads a copy of the jar taken when the change had settled, and each
 * module its service file lists registers again, so its tags and data sources replace the old
 * ones for requests that start afterwards while running requests finish on the old classes. The
 * bridge's own jars and jars without modules are not reloaded; a change to them is logged. Native
 * libraries are not watched.
 */
final class ModuleReloader implements Runnable {
    /** The system property that switches reloading on ({@code yes} or {@code true}). */
    static final String PROPERTY = "quill.module.reload";
    /** The system property with the milliseconds between two looks at the folder. */
    static final String INTERVAL_PROPERTY = "quill.module.reload.interval";

    private static final String SERVICE_FILE = "META-INF/services/" + QuillJavaModule.class.getName();
    private static final Set<String> BRIDGE_JARS =
            Set.of("QJAPI.jar", "JDBCConnector.jar", "QJAPI-testing.jar", "QJAPI-sources.jar");

    private final Path folder;
    private final long intervalMillis;
    private final Map<Path, List<Long>> loaded = new HashMap<>();    // jar -> time and size in use
    private final Map<Path, List<Long>> changing = new HashMap<>();  // seen changed, not yet settled
    private final Map<Path, List<Long>> unreadable = new HashMap<>();  // logged as unreadable at this stamp
    private int generation;

    private ModuleReloader(Path folder, long intervalMillis) {
        this.folder = folder;
        this.intervalMillis = intervalMillis;
        loaded.putAll(stamps());
    }

    /** Starts the watch when {@value #PROPERTY} asks for it. */
    static void startIfRequested() {
        String wanted = System.getProperty(PROPERTY, "");
        if (!wanted.equalsIgnoreCase("yes") && !wanted.equalsIgnoreCase("true")) {
            return;
        }
        long interval = Math.max(50, Long.getLong(INTERVAL_PROPERTY, 500L));
        Path folder = Path.of("QuillModules").toAbsolutePath();
        Thread watch = new Thread(new ModuleReloader(folder, interval), "quill-module-reload");
        watch.setDaemon(true);
        watch.start();
        QuillLog.write(QuillLog.DETAIL, "Module reload: watching " + folder + " for changed module jars.");
    }

    @Override
    public void run() {
        while (true) {
            try {
                Thread.sleep(intervalMillis);
                look();
            } catch (InterruptedException e) {
                return;
            } catch (Throwable e) {
                QuillLog.write(QuillLog.CRITICAL, "ModuleReloader", "the module folder could not be read", e);
            }
        }
    }

    // A jar is loaded once its time and size stayed the same for one interval.
    private void look() {
        Map<Path, List<Long>> now = stamps();
        if (now == null) {
            return;  // the folder could not be listed: nothing is taken as gone or new
        }
        for (Map.Entry<Path, List<Long>> jar : now.entrySet()) {
            if (jar.getValue().equals(loaded.get(jar.getKey()))) {
                changing.remove(jar.getKey());
            } else if (jar.getValue().equals(changing.get(jar.getKey()))) {
                changing.remove(jar.getKey());
                if (reload(jar.getKey(), jar.getValue())) {
                    loaded.put(jar.getKey(), jar.getValue());
                    unreadable.remove(jar.getKey());
                }
            } else {
                changing.put(jar.getKey(), jar.getValue());
            }
        }
        loaded.keySet().retainAll(now.keySet());
        unreadable.keySet().retainAll(now.keySet());
    }

    // The jars' stamps, or null when the folder cannot be listed.
    private Map<Path, List<Long>> stamps() {
        Map<Path, List<Long>> stamps = new HashMap<>();
        try (Stream<Path> files = Files.list(folder)) {
            for (Path file : (Iterable<Path>) files::iterator) {
                if (!file.getFileName().toString().endsWith(".jar") || !Files.isRegularFile(file)) {
                    continue;
                }
                try {
                    stamps.put(file, List.of(Files.getLastModifiedTime(file).toMillis(), Files.size(file)));
                } catch (IOException e) {
                    // Gone between the listing and its stamp: looked at next time.
                }
            }
        } catch (IOException | UncheckedIOException e) {
            return null;
        }
        return stamps;
    }

    // False when the jar could not be read (it is tried again after its next change or look;
    // named in the log once for each time and size it has).
    private boolean reload(Path jar, List<Long> stamp) {
        String name = jar.getFileName().toString();
        if (BRIDGE_JARS.contains(name)) {
            QuillLog.write(QuillLog.WARNING, "Module reload: " + name
                    + " changed; the bridge's own classes are not reloaded: restart the server to use it.");
            return true;
        }
        Map<String, byte[]> entries;
        try {
            entries = read(jar);
        } catch (IOException e) {
            if (!stamp.equals(unreadable.put(jar, stamp))) {
                QuillLog.write(QuillLog.WARNING, "Module reload: cannot read " + name + " (" + e + "); trying again.");
            }
            return false;
        }
        byte[] services = entries.get(SERVICE_FILE);
        if (services == null) {
            QuillLog.write(QuillLog.WARNING, "Module reload: " + name
                    + " changed but lists no module; jars without modules load at start-up only.");
            return true;
        }
        ClassLoader loader = new JarCopyLoader(name + "#" + (++generation), entries,
                ClassLoader.getSystemClassLoader());
        registerAsOneGeneration(() -> register(name, services, loader));
        QuillLog.write(QuillLog.DETAIL, "Module reload: " + name
                + " is served to requests from now on; running ones finish on the old classes.");
        return true;
    }

    // Registers again each module the service file lists.
    private static void register(String jarName, byte[] services, ClassLoader loader) {
        for (String line : new String(services, StandardCharsets.UTF_8).split("\n")) {
            String className = line.replaceFirst("#.*", "").trim();
            if (className.isEmpty()) {
                continue;
            }
            try {
                Class<? extends QuillJavaModule> module =
                        Class.forName(className, true, loader).asSubclass(QuillJavaModule.class);
                module.getDeclaredConstructor().newInstance().registerModule();
                QuillLog.write(QuillLog.DETAIL,
                        "Module reload: " + className + " from " + jarName + " registered.");
            } catch (Throwable e) {
                QuillLog.write(QuillLog.CRITICAL, "ModuleReloader", "Module reload: " + className + " from "
                        + jarName + " failed; what it registered before stays", e);
            }
        }
    }

    /**
     * Runs registrations as one module generation: requests that start after it returns see all
     * of their tags and data sources, requests already running see none of them until they end.
     */
    private static native void registerAsOneGeneration(Runnable registrations);

    private static final StackWalker WALKER = StackWalker.getInstance(StackWalker.Option.RETAIN_CLASS_REFERENCE);

    /**
     * The class of the name ("pkg/Name") as the module whose code calls the bridge on this thread
     * sees it, when that module was reloaded; null when its code was loaded at the start, or the
     * name names no class for it: where a reloaded module's type members find their class. The
     * caller is the nearest frame outside the bridge's packages and the Java platform's own classes
     * (a module may reach the bridge through a lambda that a platform method runs, as forEach
     * does). Called by the server.
     */
    static Class<?> classOfReloadedCaller(String name) {
        ClassLoader platform = ClassLoader.getPlatformClassLoader();
        ClassLoader loader = WALKER.walk(frames -> frames.map(StackWalker.StackFrame::getDeclaringClass)
                .filter(type -> !isBridgeClass(type.getName()))
                .map(Class::getClassLoader).filter(owner -> owner != null && owner != platform)
                .findFirst().orElse(null));
        if (!(loader instanceof JarCopyLoader)) {
            return null;
        }
        try {
            return Class.forName(name.replace('/', '.'), false, loader);
        } catch (ClassNotFoundException | LinkageError e) {
            return null;
        }
    }

    private static boolean isBridgeClass(String className) {
        return className.startsWith("com.ferngate.quillpro.") || className.startsWith("com.marrowbay.");
    }

    private static Map<String, byte[]> read(Path jar) throws IOException {
        Map<String, byte[]> entries = new HashMap<>();
        try (ZipInputStream zip = new ZipInputStream(Files.newInputStream(jar))) {
            for (ZipEntry entry = zip.getNextEntry(); entry != null; entry = zip.getNextEntry()) {
                if (!entry.isDirectory()) {
                    entries.put(entry.getName(), zip.readAllBytes());
                }
            }
        }
        if (entries.isEmpty()) {
            throw new IOException("no entries");
        }
        return entries;
    }

    /**
     * Classes and resources from a jar's copy in memory, looked up there first; classes of the
     * bridge's packages, SLF4J and the platform's come from the parent whenever it has them, so
     * the module and the server share one bridge.
     */
    static final class JarCopyLoader extends ClassLoader {
        static {
            registerAsParallelCapable();
        }

        private final Map<String, byte[]> entries;
        private final URLStreamHandler handler = new URLStreamHandler() {
            @Override
            protected URLConnection openConnection(URL url) throws IOException {
                byte[] bytes = entries.get(url.getPath().substring(1));
                if (bytes == null) {
                    throw new IOException("no entry " + url);
                }
                return new URLConnection(url) {
                    @Override
                    public void connect() {
                    }

                    @Override
                    public InputStream getInputStream() {
                        return new ByteArrayInputStream(bytes);
                    }
                };
            }
        };

        JarCopyLoader(String name, Map<String, byte[]> entries, ClassLoader parent) {
            super(name, parent);
            this.entries = entries;
        }

        // Looked for in the parent first; the jar's copy is used only when the parent has none.
        private static boolean parentFirst(String className) {
            return className.startsWith("java.") || className.startsWith("javax.") || isBridgeClass(className)
                    || className.startsWith("org.slf4j.");
        }

        @Override
        protected Class<?> loadClass(String className, boolean resolve) throws ClassNotFoundException {
            synchronized (getClassLoadingLock(className)) {
                Class<?> found = findLoadedClass(className);
                if (found == null) {
                    byte[] bytes = entries.get(className.replace('.', '/') + ".class");
                    if (bytes == null || parentFirst(className)) {
                        try {
                            found = getParent().loadClass(className);
                        } catch (ClassNotFoundException e) {
                            if (bytes == null) {
                                throw e;
                            }
                        }
                    }
                    if (found == null) {
                        found = defineClass(className, bytes, 0, bytes.length);
                    }
                }
                if (resolve) {
                    resolveClass(found);
                }
                return found;
            }
        }

        @Override
        protected URL findResource(String resource) {
            if (!entries.containsKey(resource)) {
                return null;
            }
            try {
                return new URL("quill-module", null, -1, "/" + resource, handler);
            } catch (MalformedURLException e) {
                return null;
            }
        }

        @Override
        public URL getResource(String resource) {
            URL own = findResource(resource);
            return own != null ? own : getParent().getResource(resource);
        }

        @Override
        public Enumeration<URL> getResources(String resource) throws IOException {
            List<URL> all = new ArrayList<>();
            URL own = findResource(resource);
            if (own != null) {
                all.add(own);
            }
            all.addAll(Collections.list(getParent().getResources(resource)));
            return Collections.enumeration(all);
        }
    }
}
