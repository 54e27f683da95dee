package bench;

import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.Executors;

/**
 * The server a user would pick instead of `quill serve` for Java behind HTTP: the JDK's
 * HttpServer, whose handlers call the benchmark tag's Java method directly. Run it with
 * -Dsun.net.httpserver.nodelay=true (without it each small response waits for a delayed ACK).
 *
 * <p>Arguments: port (0 for any) and worker threads; prints "port N" once it listens.
 * /line answers "hello\n"; /empty calls {@link BenchTags#empty} on a fresh instance, as the
 * bridge does for each tag call, and answers the same line.
 */
public final class JdkHttpPeer {
    private static final byte[] LINE = "hello\n".getBytes(StandardCharsets.UTF_8);

    private JdkHttpPeer() {
    }

    public static void main(String[] args) throws IOException {
        HttpServer server = HttpServer.create(
                new InetSocketAddress(InetAddress.getLoopbackAddress(), Integer.parseInt(args[0])), 1024);
        server.setExecutor(Executors.newFixedThreadPool(Integer.parseInt(args[1])));
        server.createContext("/line", exchange -> answer(exchange));
        server.createContext("/empty", exchange -> {
            new BenchTags().empty(null, 1);
            answer(exchange);
        });
        server.start();
        System.out.println("port " + server.getAddress().getPort());
        System.out.flush();
    }

    private static void answer(HttpExchange exchange) throws IOException {
        exchange.getResponseHeaders().set("Content-Type", "text/plain");
        exchange.sendResponseHeaders(200, LINE.length);
        try (OutputStream body = exchange.getResponseBody()) {
            body.write(LINE);
        }
    }
}
