package bench;

import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillTagModule;
import com.ferngate.quillpro.QuillValue;
import com.zaxxer.hikari.HikariConfig;
import com.zaxxer.hikari.HikariDataSource;
import java.sql.Connection;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.SQLException;
import java.util.concurrent.ConcurrentHashMap;

/**
 * The floor of the row page: bench_floor_row(URL, USER, PASSWORD, POOL) does inside `quill serve`
 * what the JDK peer's row handler does (a HikariCP pool of POOL connections, a prepared statement,
 * the row of key request_param('id') from table t written as "id a b c\n"), with one call into
 * Java and no connector, so that a page of this one tag measures the server's own share. One pool
 * per URL, made with the login and size of the first call that names it.
 */
public class FloorRow extends QuillTagModule {
    private static final String ROW = "SELECT id, a, b, c FROM t WHERE id = ?";
    private static final ConcurrentHashMap<String, HikariDataSource> POOLS = new ConcurrentHashMap<>();

    @Override
    public void registerModule() {
        registerTag("bench_floor_row", "row", "the peer's row handler as a tag: URL, USER, PASSWORD, POOL");
    }

    private static HikariDataSource pool(String url, String user, String password, int size) {
        return POOLS.computeIfAbsent(url, u -> {
            HikariConfig config = new HikariConfig();
            config.setJdbcUrl(u);
            config.setUsername(user);
            config.setPassword(password);
            config.setMaximumPoolSize(size);
            return new HikariDataSource(config);
        });
    }

    public int row(QuillCall call, int argument) {
        String url = call.param(0);
        String size = call.param(3);
        QuillValue key = new QuillValue("id", null, 0);
        if (url == null || call.getRequestParam(QuillCall.REQUEST_PARAM, key) != 0 || key.data == null) return -1;
        StringBuilder text = new StringBuilder(64);
        try (Connection connection = pool(url, call.param(1), call.param(2), size == null ? 4 : Integer.parseInt(size))
                .getConnection();
             PreparedStatement statement = connection.prepareStatement(ROW)) {
            statement.setInt(1, Integer.parseInt(key.data));
            try (ResultSet rows = statement.executeQuery()) {
                while (rows.next()) {
                    text.append(rows.getString(1)).append(' ').append(rows.getString(2)).append(' ')
                            .append(rows.getString(3)).append(' ').append(rows.getString(4)).append('\n');
                }
            }
        } catch (SQLException | RuntimeException e) {
            text.setLength(0);
            text.append(e).append('\n');
        }
        return call.outputTagData(text.toString());
    }
}
