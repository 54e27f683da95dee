package examples.money;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;

import com.ferngate.quillpro.testing.QuillTestRoot;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;

/** The example script money.qs in a throwaway root that loads MoneyType.jar. */
class MoneyTest {
    @Test
    void exampleScriptAnswersAsExpectedAlsoUnderTheVmsJniChecks() throws IOException {
        String script = Files.readString(Path.of("../money.qs"));
        String expected = Files.readString(Path.of("src/test/resources/money.expected"));
        try (QuillTestRoot root =
                QuillTestRoot.withModules(Path.of(System.getProperty("example.jar", "target/MoneyType.jar")))) {
            QuillTestRoot.Result plain = root.run(script);
            assertEquals(expected, plain.output(), plain.log());
            QuillTestRoot.Result checked = root.preference("java_vm_options", "-Xcheck:jni").run(script);
            assertEquals(expected, checked.output(), checked.log());
            assertFalse(Pattern.compile("^(WARNING|FATAL)", Pattern.MULTILINE).matcher(checked.log()).find(),
                    checked.log());
        }
    }
}
