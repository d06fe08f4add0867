package com.pemrix.testsupport;

import com.norvane.guinative.DesktopIndicator;
import com.norvane.guinative.Win32Util;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * Another instance of the application, in a process of its own: it shows a desktop indicator,
 * prints "ready &lt;window&gt;", prints "clicked" for each click, and ends when its input ends.
 */
public final class OtherInstance {
    private OtherInstance() {}

    public static void main(String[] args) throws IOException {
        DesktopIndicator indicator = new DesktopIndicator(0, "other instance");
        indicator.addDesktopIndicatorListener(source -> {
            System.out.println("clicked");
            System.out.flush();
        });
        indicator.show();
        long window = 0;
        while (window == 0) {
            window = Win32Util.findWindow("PemrixBackupWindowClass", "PemrixBackupWindow");
            Thread.onSpinWait();
        }
        System.out.println("ready " + window);
        System.out.flush();
        while (System.in.read() != -1) {
            // until the test closes our input
        }
    }

    /** A running other instance, and the lines it printed. */
    public static final class Running implements AutoCloseable {
        public final Process process;
        private final BufferedReader output;

        private Running(Process process) {
            this.process = process;
            this.output = new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8));
        }

        /** The next line of its output (standard error included); null when it ended. */
        public String nextLine() {
            try {
                String line = output.readLine();
                if (line != null && (line.contains("WARNING in native method") || line.contains("FATAL ERROR"))) {
                    throw new AssertionError("the other instance's JNI checker: " + line);
                }
                return line;
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        }

        /** Ends its input, so that it ends, and waits for it. */
        @Override
        public void close() throws IOException {
            process.getOutputStream().close();
            try {
                process.waitFor();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                process.destroyForcibly();
            }
        }
    }

    /** Starts one with the test's class path and library path, under the JNI checker. */
    public static Running start() throws IOException {
        List<String> command = new ArrayList<>();
        command.add(System.getProperty("java.home") + "/bin/java");
        command.add("-Xcheck:jni");
        command.add("-Djava.library.path=" + System.getProperty("java.library.path"));
        command.add("-cp");
        command.add(System.getenv("TEST_CLASSPATH"));
        command.add(OtherInstance.class.getName());
        return new Running(new ProcessBuilder(command).redirectErrorStream(true).start());
    }
}
