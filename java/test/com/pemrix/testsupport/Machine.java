package com.pemrix.testsupport;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.concurrent.atomic.AtomicInteger;

/** The emulated Windows machine the test runs on: its root and the host paths of its drives. */
public final class Machine {
    private static final AtomicInteger counter = new AtomicInteger();

    private Machine() {}

    public static Path root() {
        String root = System.getenv("WINSIM_ROOT");
        if (root == null || root.isEmpty()) {
            throw new IllegalStateException("WINSIM_ROOT names no machine; run the tests through ctest");
        }
        return Paths.get(root);
    }

    /** The host path of a C: path such as {@code C:\dir\file}. */
    public static Path host(String windowsPath) {
        if (windowsPath.length() < 3 || !windowsPath.substring(0, 3).equalsIgnoreCase("C:\\")) {
            throw new IllegalArgumentException("not a C: path: " + windowsPath);
        }
        Path path = root().resolve("drive_c");
        for (String part : windowsPath.substring(3).split("\\\\")) {
            if (!part.isEmpty()) {
                path = path.resolve(part);
            }
        }
        return path;
    }

    /** A new, empty directory on C:, returned in Windows form without a trailing backslash. */
    public static String freshDirectory(String name) {
        String windows = "C:\\tests\\" + name + "-" + ProcessHandle.current().pid() + "-" + counter.incrementAndGet();
        try {
            Files.createDirectories(host(windows));
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        return windows;
    }
}
