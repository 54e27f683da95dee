package examples.csv;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.ferngate.quillpro.testing.QuillTestRoot;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The example data source on a copy of the sample tables in a throwaway root. */
class CsvDataSourceTest {
    private static final Path SAMPLE = Path.of("../csv-data");
    private QuillTestRoot root;
    private Path tables;

    @BeforeEach
    void makeRoot() throws IOException {
        root = QuillTestRoot.withModules(Path.of(System.getProperty("example.jar", "target/CsvDataSource.jar")));
        tables = root.path().resolve("csv-data");
        for (Path file : files(SAMPLE)) {
            Files.createDirectories(tables.resolve(file).getParent());
            Files.copy(SAMPLE.resolve(file), tables.resolve(file));
        }
    }

    @AfterEach
    void deleteRoot() {
        root.close();
    }

    @Test
    void exampleScriptRunsEveryActionAndLeavesTheTablesAsTheyWere() throws IOException {
        QuillTestRoot.Result result = root.run(Files.readString(Path.of("../csv.qs")));
        assertEquals(Files.readString(Path.of("src/test/resources/csv.expected")), result.output(), result.log());
        assertEquals(files(SAMPLE), files(tables));  // no file left behind but the lock files
        for (Path file : files(SAMPLE)) {
            assertEquals(-1, Files.mismatch(SAMPLE.resolve(file), tables.resolve(file)), file.toString());
        }
    }

    // Each process runs its adds on several workers, so the writes race within and across processes.
    @Test
    void addsFromTwoProcessesAtOnceAreAllKeptAndTheFileModeToo() throws IOException {
        Path table = tables.resolve("shop/items.csv");
        Files.setPosixFilePermissions(table, PosixFilePermissions.fromString("rw-r-----"));
        long before = Files.readAllLines(table).size();
        String add = "db_add(-source='csv', -database='shop', -table='items', ['id', 100], ['name', 'added'])"
                + " => { 'ok' }";
        int adds = 40;
        List<CompletableFuture<QuillTestRoot.Result>> processes = Stream.of(1, 2)
                .map(p -> CompletableFuture.supplyAsync(() -> root.run(add, "--repeat", String.valueOf(adds))))
                .toList();
        for (CompletableFuture<QuillTestRoot.Result> process : processes) {
            String log = process.join().log();
            assertEquals(1, log.lines().filter(l -> l.startsWith("runs: " + adds + ", failures: 0,")).count(), log);
        }
        assertEquals(before + 2 * adds, Files.readAllLines(table).size());
        assertEquals("rw-r-----", PosixFilePermissions.toString(Files.getPosixFilePermissions(table)));
    }

    // The tables' files, without their lock files.
    private static List<Path> files(Path top) throws IOException {
        try (Stream<Path> all = Files.walk(top)) {
            return all.filter(Files::isRegularFile).filter(f -> !f.getFileName().toString().endsWith(".lock"))
                    .map(top::relativize).sorted().toList();
        }
    }
}
