package com.pemrix.system;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** The proxy settings as the Internet client library reports them, and the library's loading. */
class InternetTest {
    private static final String SETTINGS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

    private static void set(String name, String type, String data) {
        MachineTool.run("reg", "set", SETTINGS, name, type, data);
    }

    @AfterEach
    void directConnection() {
        set("ProxyEnable", "REG_DWORD", "0");
    }

    @Test
    void aDirectConnectionHasNoProxyLists() {
        assertNull(Internet.queryProxyServers());
        assertNull(Internet.queryProxyBypass());
        set("ProxyServer", "REG_SZ", "proxy.example:3128");
        assertNull(Internet.queryProxyServers(), "named but not enabled");
    }

    @Test
    void theListsCharacterForCharacterAndChangesSeenByTheNextCall() {
        set("ProxyServer", "REG_SZ", "http=proxy.example:8080;https=secure.example:8443;ftp=files:21");
        set("ProxyOverride", "REG_SZ", "*.internal.example;10.*;<local>");
        set("ProxyEnable", "REG_DWORD", "1");
        assertEquals("http=proxy.example:8080;https=secure.example:8443;ftp=files:21", Internet.queryProxyServers());
        assertEquals("*.internal.example;10.*;<local>", Internet.queryProxyBypass());

        set("ProxyServer", "REG_SZ", "other.example:80");
        assertEquals("other.example:80", Internet.queryProxyServers());
        set("ProxyOverride", "REG_SZ", "");
        assertNull(Internet.queryProxyBypass(), "a proxy without a bypass list");
        assertEquals("other.example:80", Internet.queryProxyServers());
    }

    @Test
    void otherOptionsAreReadNoFurtherThanTheirSize() {
        assertNull(Internet.queryStringValue(9999), "an option the library does not know");
        assertNull(Internet.queryStringValue(Internet.INTERNET_OPTION_USER_AGENT), "an option of a session");
        // A number without a NUL byte in it: its four bytes, not what lies behind them.
        set("MaxConnectionsPerServer", "REG_DWORD", "0x41424344");
        assertEquals("DCBA", Internet.queryStringValue(Internet.INTERNET_OPTION_MAX_CONNS_PER_SERVER));
        set("MaxConnectionsPerServer", "REG_DWORD", "6");
        assertEquals("\u0006", Internet.queryStringValue(Internet.INTERNET_OPTION_MAX_CONNS_PER_SERVER));
    }

    /** A fresh machine for a probe process, with the settings given. */
    private static Path machine(boolean withWininet) throws Exception {
        Path root = Files.createTempDirectory("winsim-internet");
        run(root, List.of(System.getenv("WINSIM_BIN") + "/winsim", "create"));
        run(root, List.of(System.getenv("WINSIM_BIN") + "/winsim", "reg", "set", SETTINGS, "ProxyServer", "REG_SZ",
                "proxy.example:8080"));
        run(root, List.of(System.getenv("WINSIM_BIN") + "/winsim", "reg", "set", SETTINGS, "ProxyEnable",
                "REG_DWORD", "1"));
        if (!withWininet) {
            Files.delete(root.resolve("drive_c/Windows/System32/wininet.dll"));
        }
        return root;
    }

    private static String[] run(Path root, List<String> command) throws IOException, InterruptedException {
        ProcessBuilder builder = new ProcessBuilder(command);
        builder.environment().put("WINSIM_ROOT", root.toString());
        Process process = builder.start();
        byte[] out = process.getInputStream().readAllBytes();
        byte[] err = process.getErrorStream().readAllBytes();
        assertTrue(process.waitFor(60, TimeUnit.SECONDS));
        String output = new String(out, StandardCharsets.UTF_8);
        String errors = new String(err, StandardCharsets.UTF_8);
        assertEquals(0, process.exitValue(), output + errors);
        assertFalse(errors.contains("WARNING in native method") || output.contains("WARNING in native method"),
                errors);
        return new String[] {output, errors};
    }

    private static String[] probe(Path root, String mode) throws Exception {
        List<String> command = new ArrayList<>(List.of(System.getProperty("java.home") + "/bin/java", "-Xcheck:jni",
                "-Djava.library.path=" + System.getenv("WINSIM_BIN"), "-cp", System.getenv("TEST_CLASSPATH"),
                InternetProbe.class.getName(), mode));
        return run(root, command);
    }

    private static void remove(Path root) throws IOException {
        try (var paths = Files.walk(root)) {
            paths.sorted(Collections.reverseOrder()).forEach(path -> path.toFile().delete());
        }
    }

    private static List<String> lines(String text) {
        return Arrays.asList(text.split("\n"));
    }

    @Test
    void aMissingLibraryIsReportedOnceOnStandardError() throws Exception {
        Path root = machine(false);
        try {
            String[] sequence = probe(root, "sequence");
            assertEquals(Collections.nCopies(9, "null"), lines(sequence[0].strip()));
            assertEquals(1, Collections.frequency(lines(sequence[1]), "inet lib load failed"), sequence[1]);

            String[] threads = probe(root, "threads");
            assertEquals(Collections.nCopies(8, "null"), lines(threads[0].strip()));
            assertEquals(1, Collections.frequency(lines(threads[1]), "inet lib load failed"), threads[1]);
        } finally {
            remove(root);
        }
    }

    @Test
    void eightThreadsMakingTheFirstCallAtOnceAllGetTheSettings() throws Exception {
        Path root = machine(true);
        try {
            for (int round = 0; round < 3; round++) {
                String[] threads = probe(root, "threads");
                assertEquals(Collections.nCopies(8, "proxy.example:8080"), lines(threads[0].strip()));
                assertFalse(threads[1].contains("inet lib load failed"));
            }
        } finally {
            remove(root);
        }
    }
}
