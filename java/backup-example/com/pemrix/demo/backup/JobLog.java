package com.pemrix.demo.backup;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.time.LocalTime;
import java.time.format.DateTimeFormatter;

/**
 * What a run tells the person watching: "backup-job.log" in the working directory, one line per
 * event with the time (appended, also written to standard output, which the service keeps), and
 * "job-status.txt", one line with the last run's state: "running backup", "succeeded backup: ...",
 * "failed restore: ..." or "cancelled backup".
 */
final class JobLog {
    static final String LOG_FILE = "backup-job.log";
    static final String STATUS_FILE = "job-status.txt";
    private static final DateTimeFormatter TIME = DateTimeFormatter.ofPattern("HH:mm:ss.SSS");

    private final Path directory;

    JobLog(Path directory) {
        this.directory = directory;
    }

    synchronized void line(String text) {
        String line = TIME.format(LocalTime.now()) + " " + text;
        System.out.println(line);
        System.out.flush();
        try (Writer out = Files.newBufferedWriter(directory.resolve(LOG_FILE), StandardCharsets.UTF_8,
                StandardOpenOption.CREATE, StandardOpenOption.APPEND)) {
            out.write(line);
            out.write(System.lineSeparator());
        } catch (IOException e) {
            System.err.println("cannot write the job log: " + e.getMessage());
        }
    }

    /** Replaces the status line; readers see the old line or the new one, never a part. */
    synchronized void status(String text) {
        Path target = directory.resolve(STATUS_FILE);
        Path temporary = directory.resolve(STATUS_FILE + ".new");
        try {
            Files.writeString(temporary, text + System.lineSeparator(), StandardCharsets.UTF_8);
            Files.move(temporary, target, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
        } catch (IOException e) {
            throw new UncheckedIOException("cannot write " + target, e);
        }
    }
}
