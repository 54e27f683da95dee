package bench;

import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import com.zaxxer.hikari.HikariConfig;
import com.zaxxer.hikari.HikariDataSource;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;
import java.sql.Connection;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.SQLException;
import java.util.concurrent.Executors;

/**
 * The server a user would pick instead of `quill serve` for Java behind HTTP: the JDK's
 * HttpServer, whose handlers call the benchmark tag's Java method directly. Run it with
 * -Dsun.net.httpserver.nodelay=true (without it each small response waits for a delayed ACK).
 *
 * <p>Arguments: port (0 for any), worker threads, then any number of NAME=URL,USER,PASSWORD;
 * prints "port N" once it listens. /line answers "hello\n"; /empty calls {@link BenchTags#empty}
 * on a fresh instance, as the bridge does for each tag call, and answers the same line;
 * /row/NAME?id=K reads the row of key K from table t of that database, through a HikariCP pool
 * of as many connections as workers and a prepared statement, and answers "id a b c\n";
 * /text/NAME?a=V does the same for the row whose text column a is V.
 */
public final class JdkHttpPeer {
    private static final byte[] LINE = "hello\n".getBytes(StandardCharsets.UTF_8);
    private static final String ROW = "SELECT id, a, b, c FROM t WHERE id = ?";
    private static final String TEXT_ROW = "SELECT id, a, b, c FROM t WHERE a = ?";

    private JdkHttpPeer() {
    }

    public static void main(String[] args) throws IOException {
        int threads = Integer.parseInt(args[1]);
        HttpServer server = HttpServer.create(
                new InetSocketAddress(InetAddress.getLoopbackAddress(), Integer.parseInt(args[0])), 1024);
        server.setExecutor(Executors.newFixedThreadPool(threads));
        server.createContext("/line", exchange -> answer(exchange, 200, LINE));
        server.createContext("/empty", exchange -> {
            new BenchTags().empty(null, 1);
            answer(exchange, 200, LINE);
        });
        for (int i = 2; i < args.length; i++) {
            String name = args[i].substring(0, args[i].indexOf('='));
            String[] login = args[i].substring(name.length() + 1).split(",", -1);
            HikariConfig config = new HikariConfig();
            config.setJdbcUrl(login[0]);
            config.setUsername(login[1]);
            config.setPassword(login[2]);
            config.setMaximumPoolSize(threads);
            HikariDataSource pool = new HikariDataSource(config);
            server.createContext("/row/" + name, exchange -> row(exchange, pool, false));
            server.createContext("/text/" + name, exchange -> row(exchange, pool, true));
        }
        server.start();
        System.out.println("port " + server.getAddress().getPort());
        System.out.flush();
    }

    private static void row(HttpExchange exchange, HikariDataSource pool, boolean byText) throws IOException {
        String query = exchange.getRequestURI().getRawQuery();
        StringBuilder text = new StringBuilder(64);
        int status = 200;
        try (Connection connection = pool.getConnection();
             PreparedStatement statement = connection.prepareStatement(byText ? TEXT_ROW : ROW)) {
            String key = query.substring(query.indexOf('=') + 1);
            if (byText) statement.setString(1, key);
            else statement.setInt(1, Integer.parseInt(key));
            try (ResultSet rows = statement.executeQuery()) {
                while (rows.next()) {
                    text.append(rows.getString(1)).append(' ').append(rows.getString(2)).append(' ')
                            .append(rows.getString(3)).append(' ').append(rows.getString(4)).append('\n');
                }
            }
        } catch (SQLException | RuntimeException e) {
            status = 500;
            text.setLength(0);
            text.append(e).append('\n');
        }
        answer(exchange, status, text.toString().getBytes(StandardCharsets.UTF_8));
    }

    private static void answer(HttpExchange exchange, int status, byte[] body) throws IOException {
        exchange.getResponseHeaders().set("Content-Type", "text/plain");
        exchange.sendResponseHeaders(status, body.length);
        try (OutputStream out = exchange.getResponseBody()) {
            out.write(body);
        }
    }
}
