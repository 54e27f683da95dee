package examples.hello;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.ferngate.quillpro.testing.QuillTestRoot;
import java.nio.file.Path;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The example's tags run by scripts in a throwaway server root that loads HelloTags.jar. */
class HelloTagsTest {
    private static QuillTestRoot root;

    @BeforeAll
    static void makeRoot() {
        root = QuillTestRoot.withModules(Path.of(System.getProperty("example.jar", "target/HelloTags.jar")));
    }

    @AfterAll
    static void deleteRoot() {
        root.close();
    }

    @Test
    void tagsAnswerWithOutputValuesAndCodes() {
        // script | its output | the code that stopped it | that error's message
        String[][] cases = {
            {"hello_greet('Ann', -greeting='Hi') hello_setvar('c', 'green') ' ' $c", "Hi, Ann! green", "0", null},
            {"hello_repeat(2) => { hello_add(1, 2, 39) ' ' }", "42 42 ", "0", null},
            {"'before ' hello_fail() 'after'", "before ", "1234", "hello_fail was asked to fail"},
            {"hello_add(1, 'two')", "", "-1", "hello_add: not an integer: two"},
        };
        for (String[] c : cases) {
            QuillTestRoot.Result result = root.run(c[0]);
            assertEquals(c[1], result.output(), result.log());
            assertEquals(Integer.parseInt(c[2]), result.resultCode(), c[0]);
            assertEquals(c[3], result.errorMessage(), c[0]);
            assertEquals(c[3] == null ? 0 : 1, result.status(), c[0]);
        }
    }
}
