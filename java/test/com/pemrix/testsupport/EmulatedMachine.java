package com.pemrix.testsupport;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;

/**
 * An emulated machine seen from outside: the test's own (WINSIM_ROOT) or a fresh one in a
 * directory of its own, driven through the machine tool and real processes, with the example
 * backup client installed as the service "QzBackup". Service processes run the JVM under
 * -Xcheck:jni (through JAVA_TOOL_OPTIONS, which they inherit from the tool that starts them).
 */
public final class EmulatedMachine implements AutoCloseable {
    public static final String SERVICE = "QzBackup";
    public static final String INSTALL_DIRECTORY = "C:\\Program Files\\QzBackup";

    private final Path root;
    private final boolean owned;
    private int logMark;

    private EmulatedMachine(Path root, boolean owned) {
        this.root = root;
        this.owned = owned;
    }

    /** The machine the test runs on. */
    public static EmulatedMachine current() {
        return new EmulatedMachine(Machine.root(), false);
    }

    /** A new machine, deleted by close(). */
    public static EmulatedMachine fresh(String name) {
        try {
            Path root = Files.createTempDirectory("winsim-" + name + "-");
            EmulatedMachine machine = new EmulatedMachine(root, true);
            machine.tool("create");
            return machine;
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    public Path root() {
        return root;
    }

    /** The host path of a C: path of this machine. */
    public Path host(String windowsPath) {
        if (windowsPath.length() < 3 || !windowsPath.substring(0, 3).equalsIgnoreCase("C:\\")) {
            throw new IllegalArgumentException("not a C: path: " + windowsPath);
        }
        Path path = root.resolve("drive_c");
        for (String part : windowsPath.substring(3).split("\\\\")) {
            if (!part.isEmpty()) {
                path = path.resolve(part);
            }
        }
        return path;
    }

    /** Runs the machine tool on this machine; fails the test when it fails. */
    public String tool(String... arguments) {
        List<String> command = new ArrayList<>();
        command.add(env("WINSIM_BIN") + "/winsim");
        command.addAll(List.of(arguments));
        return run(command, Duration.ofSeconds(60), true);
    }

    /** Runs a program with WINSIM_ROOT naming this machine; returns its output. */
    public String run(List<String> command, Duration limit, boolean mustSucceed) {
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        Map<String, String> environment = builder.environment();
        environment.put("WINSIM_ROOT", root.toString());
        environment.put("JAVA_TOOL_OPTIONS", "-Xcheck:jni");
        try {
            Path output = Files.createTempFile("winsim-run", ".out");
            try {
                Process process = builder.redirectOutput(output.toFile()).start();
                if (!process.waitFor(limit.toMillis(), java.util.concurrent.TimeUnit.MILLISECONDS)) {
                    process.destroyForcibly().waitFor();
                    throw new IllegalStateException(String.join(" ", command) + " took longer than " + limit);
                }
                String text = Files.readString(output, StandardCharsets.UTF_8);
                if (mustSucceed && process.exitValue() != 0) {
                    throw new IllegalStateException(String.join(" ", command) + " failed: " + text);
                }
                return text;
            } finally {
                Files.deleteIfExists(output);
            }
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IllegalStateException(e);
        }
    }

    /** Installs the backup client with these lines of backup.properties. */
    public void installClient(String... settings) {
        List<String> command = new ArrayList<>();
        command.add(env("SOURCE_DIR") + "/demo/install-backup-client");
        command.addAll(List.of(settings));
        run(command, Duration.ofSeconds(60), true);
    }

    /** Replaces the client's settings. */
    public void configureClient(String... settings) {
        write(INSTALL_DIRECTORY + "\\backup.properties", String.join("\n", settings) + "\n");
    }

    public void write(String windowsPath, String text) {
        try {
            Files.createDirectories(host(windowsPath).getParent());
            Files.writeString(host(windowsPath), text, StandardCharsets.UTF_8);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    public String read(String windowsPath) {
        try {
            return Files.readString(host(windowsPath), StandardCharsets.UTF_8);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    public boolean exists(String windowsPath) {
        return Files.exists(host(windowsPath));
    }

    /** The client's last status line ("succeeded backup: ...", "failed restore: ..."), or "". */
    public String clientStatus() {
        Path status = host(INSTALL_DIRECTORY + "\\job-status.txt");
        try {
            return Files.exists(status) ? Files.readString(status, StandardCharsets.UTF_8).trim() : "";
        } catch (IOException e) {
            return "";
        }
    }

    public String clientLog() {
        String log = INSTALL_DIRECTORY + "\\backup-job.log";
        return exists(log) ? read(log) : "";
    }

    /** Starts the service with a job; the service is stopped first if it runs. */
    public void startJob(String job) {
        stopService();
        logMark = clientLog().length();
        try {
            Files.deleteIfExists(host(INSTALL_DIRECTORY + "\\job-status.txt"));
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        tool("sc", "start", SERVICE, job);
    }

    /** Waits until the client's status is final and returns it. */
    public String awaitJob(Duration limit) {
        long end = System.nanoTime() + limit.toNanos();
        while (System.nanoTime() < end) {
            String status = clientStatus();
            if (status.startsWith("succeeded") || status.startsWith("failed") || status.startsWith("cancelled")) {
                return status;
            }
            sleep(50);
        }
        throw new IllegalStateException("the client's job did not end within " + limit + "; its log:\n" + clientLog());
    }

    /** Runs a job through the service and returns its final status. */
    public String runJob(String job) {
        startJob(job);
        return awaitJob(Duration.ofSeconds(120));
    }

    /** Waits until the client's log holds a line of the last job started that contains text. */
    public void awaitLog(String text, Duration limit) {
        long end = System.nanoTime() + limit.toNanos();
        while (System.nanoTime() < end) {
            String log = clientLog();
            if (log.length() > logMark && log.substring(logMark).contains(text)) {
                return;
            }
            sleep(20);
        }
        throw new IllegalStateException("the client's log shows no \"" + text + "\"; its log:\n" + clientLog());
    }

    public String serviceState() {
        String query = tool("sc", "query", SERVICE);
        for (String line : query.split("\n")) {
            if (line.trim().startsWith("STATE")) {
                return line.replaceAll(".*:\\s*\\d+\\s+", "").trim();
            }
        }
        return "";
    }

    /** Stops the service if it runs and waits until it has stopped; returns how long that took. */
    public Duration stopService() {
        long start = System.nanoTime();
        if (!tool("sc", "list").contains(SERVICE + "  STOPPED")) {
            run(List.of(env("WINSIM_BIN") + "/winsim", "sc", "stop", SERVICE), Duration.ofSeconds(60), false);
        }
        long end = start + Duration.ofSeconds(60).toNanos();
        while (!serviceState().equals("STOPPED")) {
            if (System.nanoTime() > end) {
                throw new IllegalStateException("the service did not stop");
            }
            sleep(20);
        }
        return Duration.ofNanos(System.nanoTime() - start);
    }

    /** What the service process wrote; a JNI warning in it fails the test. */
    public String serviceOutput() {
        Path out = root.resolve("scm").resolve(SERVICE + ".out");
        try {
            return Files.exists(out) ? Files.readString(out, StandardCharsets.UTF_8) : "";
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** The snapshots that the shadow copy service still keeps. */
    public String snapshots() {
        return tool("vss", "snapshots").trim();
    }

    private static void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IllegalStateException(e);
        }
    }

    static String env(String name) {
        String value = System.getenv(name);
        if (value == null || value.isEmpty()) {
            throw new IllegalStateException(name + " is not set; run the tests through ctest");
        }
        return value;
    }

    /** Removes the service; a fresh machine is deleted as well. */
    @Override
    public void close() {
        try {
            stopService();
        } catch (RuntimeException ignored) {
            // The machine may never have had the service.
        }
        if (owned) {
            try (Stream<Path> paths = Files.walk(root)) {
                paths.sorted(Comparator.reverseOrder()).forEach(path -> path.toFile().delete());
            } catch (IOException ignored) {
                // A temporary directory; what is left goes with the system's clean-up.
            }
        }
    }

    public static Path buildDirectory() {
        return Paths.get(env("BUILD_DIR"));
    }
}
