package com.pemrix.testsupport;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/** The machine tool (winsim) and the counters that the stand-in services keep. */
public final class MachineTool {
    private MachineTool() {}

    /** Runs the tool with the arguments; returns its output, failing the test if it fails. */
    public static String run(String... arguments) {
        return runOn(null, arguments);
    }

    /** The build directory of the machine tool and the stand-in libraries. */
    public static String bin() {
        String bin = System.getenv("WINSIM_BIN");
        if (bin == null || bin.isEmpty()) {
            throw new IllegalStateException("WINSIM_BIN names no build directory; run the tests through ctest");
        }
        return bin;
    }

    /** Runs the tool on another machine (the test's own for null). */
    public static String runOn(Path machine, String... arguments) {
        List<String> command = new ArrayList<>();
        command.add(bin() + "/winsim");
        command.addAll(List.of(arguments));
        try {
            ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
            if (machine != null) {
                builder.environment().put("WINSIM_ROOT", machine.toString());
            }
            Process process = builder.start();
            String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            if (process.waitFor() != 0) {
                throw new IllegalStateException("winsim " + String.join(" ", arguments) + " failed: " + output);
            }
            return output;
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IllegalStateException(e);
        }
    }

    /** Changes a machine setting; an empty value clears it. */
    public static void set(String key, String value) {
        run("config", "set", key, value);
    }

    /** Declares a shadow copy writer from its metadata document. */
    public static void declareWriter(String xml) {
        try {
            Path file = Files.createTempFile("writer", ".xml");
            try {
                Files.writeString(file, xml);
                run("vss", "writer", "add", file.toString());
            } finally {
                Files.delete(file);
            }
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** The value of a machine counter (0 when never used), read from the machine's counter file. */
    public static long counter(String name) {
        Path file = Machine.root().resolve("counters");
        if (!Files.exists(file)) {
            return 0;
        }
        try {
            ByteBuffer counters = ByteBuffer.wrap(Files.readAllBytes(file)).order(ByteOrder.LITTLE_ENDIAN);
            int slots = counters.getInt(8);
            for (int i = 0; i < slots; i++) {
                int at = 16 + 64 * i;
                int end = at;
                while (end < at + 56 && counters.get(end) != 0) {
                    end++;
                }
                if (end == at) {
                    break;
                }
                if (new String(counters.array(), at, end - at, StandardCharsets.UTF_8).equals(name)) {
                    return counters.getLong(at + 56);
                }
            }
            return 0;
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** The number of calls the shadow copy service received for "Interface.Method". */
    public static long vssCalls(String call) {
        return counter("vss." + call);
    }
}
