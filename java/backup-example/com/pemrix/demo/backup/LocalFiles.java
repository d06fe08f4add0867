package com.pemrix.demo.backup;

import java.io.IOException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Locale;

/**
 * The client's own files (its archive, reports and temporary copies) are ordinary files that Java
 * reads and writes itself; everything that needs Windows (backup streams, security, enumeration of
 * a snapshot) goes through the natives instead. On Windows a Windows path is a Java path. On the
 * emulated machine the JVM sees the host's file system, where the machine's drives are
 * directories under the machine root named by WINSIM_ROOT ({@code C:} is {@code drive_c}, a shadow
 * copy device {@code shadow/<device name>}); names match case-insensitively, as on NTFS. This class
 * is the only place that knows the difference.
 */
final class LocalFiles {
    private static final String SHADOW_DEVICE_PREFIX = "\\\\?\\GLOBALROOT\\Device\\";

    private LocalFiles() {}

    static boolean onWindows() {
        return System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("windows");
    }

    /** The Java path of an absolute Windows path ({@code C:\dir}, {@code \\?\C:\dir}, a snapshot device path). */
    static Path of(String windowsPath) {
        if (onWindows()) {
            return Paths.get(windowsPath);
        }
        String path = windowsPath.startsWith("\\\\?\\") && !windowsPath.startsWith(SHADOW_DEVICE_PREFIX)
                ? windowsPath.substring(4) : windowsPath;
        Path base;
        String rest;
        if (path.regionMatches(true, 0, SHADOW_DEVICE_PREFIX, 0, SHADOW_DEVICE_PREFIX.length())) {
            String device = path.substring(SHADOW_DEVICE_PREFIX.length());
            int end = device.indexOf('\\');
            base = machineRoot().resolve("shadow").resolve(end < 0 ? device : device.substring(0, end));
            rest = end < 0 ? "" : device.substring(end + 1);
        } else if (path.length() >= 2 && path.charAt(1) == ':' && Character.isLetter(path.charAt(0))) {
            base = machineRoot().resolve("drive_" + Character.toLowerCase(path.charAt(0)));
            rest = path.substring(2);
        } else {
            throw new IllegalArgumentException("not an absolute Windows path: " + windowsPath);
        }
        for (String name : rest.split("[\\\\/]")) {
            if (!name.isEmpty()) {
                base = resolveIgnoringCase(base, name);
            }
        }
        return base;
    }

    private static Path machineRoot() {
        String root = System.getenv("WINSIM_ROOT");
        if (root == null || root.isEmpty()) {
            throw new IllegalStateException("not on Windows and no emulated machine named by WINSIM_ROOT");
        }
        return Paths.get(root);
    }

    private static Path resolveIgnoringCase(Path directory, String name) {
        Path exact = directory.resolve(name);
        if (Files.exists(exact) || !Files.isDirectory(directory)) {
            return exact;
        }
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(directory)) {
            for (Path entry : entries) {
                if (entry.getFileName().toString().equalsIgnoreCase(name)) {
                    return entry;
                }
            }
        } catch (IOException e) {
            return exact;
        }
        return exact;
    }

    /** The Windows path of a Java path on one of the machine's drives, or null when it is on none. */
    static String windowsPath(Path path) {
        if (onWindows()) {
            return path.toAbsolutePath().toString();
        }
        Path absolute = path.toAbsolutePath().normalize();
        Path root = machineRoot().toAbsolutePath().normalize();
        if (!absolute.startsWith(root) || absolute.getNameCount() <= root.getNameCount()) {
            return null;
        }
        String drive = absolute.getName(root.getNameCount()).toString();
        if (!drive.matches("drive_[a-y]")) {
            return null;
        }
        StringBuilder windows = new StringBuilder().append(Character.toUpperCase(drive.charAt(6))).append(":\\");
        for (int i = root.getNameCount() + 1; i < absolute.getNameCount(); i++) {
            windows.append(i > root.getNameCount() + 1 ? "\\" : "").append(absolute.getName(i));
        }
        return windows.toString();
    }

    /** The Windows path of the directory that holds a Windows path, without a trailing backslash. */
    static String parent(String windowsPath) {
        int end = windowsPath.lastIndexOf('\\');
        return end <= 2 ? windowsPath.substring(0, 3) : windowsPath.substring(0, end);
    }
}
