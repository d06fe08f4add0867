package com.pemrix.testsupport;

import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.function.BooleanSupplier;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/** The machine's desktop as the machine tool shows it, and waiting for what happens on it. */
public final class Desktop {
    private Desktop() {}

    /** One line of "winsim desktop windows". */
    public static final class Window {
        public final long handle;
        public final long process;
        public final String className;
        public final String title;
        public final boolean visible;
        public final boolean minimized;
        public final boolean foreground;

        Window(long handle, long process, String className, String title, String flags) {
            this.handle = handle;
            this.process = process;
            this.className = className;
            this.title = title;
            this.visible = flags.startsWith("visible");
            this.minimized = flags.contains("minimized");
            this.foreground = flags.contains("foreground");
        }
    }

    private static final Pattern WINDOW = Pattern.compile(
            "0x([0-9a-f]+) pid=(\\d+) thread=\\d+ class=\"(.*)\" title=\"(.*)\" (.*)");

    public static List<Window> windows() {
        List<Window> windows = new ArrayList<>();
        for (String line : MachineTool.run("desktop", "windows").split("\n")) {
            Matcher matcher = WINDOW.matcher(line);
            if (matcher.matches()) {
                windows.add(new Window(Long.parseLong(matcher.group(1), 16), Long.parseLong(matcher.group(2)),
                        matcher.group(3), matcher.group(4), matcher.group(5)));
            }
        }
        return windows;
    }

    public static Window window(long handle) {
        for (Window window : windows()) {
            if (window.handle == handle) {
                return window;
            }
        }
        return null;
    }

    public static long windowsOfClass(String className) {
        return windows().stream().filter(window -> window.className.equals(className)).count();
    }

    /** The lines of "winsim desktop boxes": the message boxes shown so far. */
    public static List<String> messageBoxes() {
        return lines(MachineTool.run("desktop", "boxes"));
    }

    /** The lines of "winsim desktop shell": what the shell was asked to open. */
    public static List<String> shellExecutions() {
        return lines(MachineTool.run("desktop", "shell"));
    }

    /** Posts a message to a window from another process (the machine tool). */
    public static void post(long window, int message, long wParam, long lParam) {
        MachineTool.run("desktop", "post", "0x" + Long.toHexString(window), Integer.toString(message),
                Long.toString(wParam), Long.toString(lParam));
    }

    /** Waits until the condition holds; false when it still does not after the time. */
    public static boolean eventually(BooleanSupplier condition, Duration limit) {
        long deadline = System.nanoTime() + limit.toNanos();
        while (!condition.getAsBoolean()) {
            if (System.nanoTime() > deadline) {
                return false;
            }
            try {
                Thread.sleep(5);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return false;
            }
        }
        return true;
    }

    public static boolean eventually(BooleanSupplier condition) {
        return eventually(condition, Duration.ofSeconds(20));
    }

    private static List<String> lines(String output) {
        List<String> lines = new ArrayList<>();
        for (String line : output.split("\n")) {
            if (!line.isEmpty()) {
                lines.add(line);
            }
        }
        return lines;
    }
}
