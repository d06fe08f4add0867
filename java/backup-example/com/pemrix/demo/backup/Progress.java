package com.pemrix.demo.backup;

import java.util.Locale;

/**
 * Files and bytes done, shown while a run goes on (a line at most twice a second) and summed up
 * at its end; also holds the run to its rate limit, if it has one.
 */
final class Progress {
    private static final long REPORT_INTERVAL_NANOS = 500_000_000L;
    static final double MIB = 1024.0 * 1024.0;

    private final JobLog log;
    private final JobControl control;
    private final String verb;
    private final double bytesPerSecond;
    private final long started = System.nanoTime();
    private long lastReport = started;
    private long files;
    private long bytes;
    private long moved;

    Progress(JobLog log, JobControl control, String verb, double maxRateMiB) {
        this.log = log;
        this.control = control;
        this.verb = verb;
        this.bytesPerSecond = maxRateMiB * MIB;
    }

    /**
     * Bytes read or written (a large file read twice counts twice here); waits as long as the
     * rate limit asks, and sees a stop.
     */
    void moved(long count) {
        moved += count;
        control.checkpoint();
        if (bytesPerSecond > 0) {
            long due = started + (long) (moved / bytesPerSecond * 1e9);
            long wait = (due - System.nanoTime()) / 1_000_000L;
            if (wait > 0) {
                control.pause(wait);
            }
        }
        report(false);
    }

    /** A file (or directory) done, with the size of what it put into or took from the archive. */
    void fileDone(long size) {
        files++;
        bytes += size;
        report(false);
    }

    long files() {
        return files;
    }

    long bytes() {
        return bytes;
    }

    double seconds() {
        return (System.nanoTime() - started) / 1e9;
    }

    /** Shows where the run stands now, whenever the last line was. */
    void reportNow() {
        report(true);
    }

    private void report(boolean always) {
        long now = System.nanoTime();
        if (always || now - lastReport >= REPORT_INTERVAL_NANOS) {
            lastReport = now;
            log.line(String.format(Locale.ROOT, "progress: %d files, %.1f MiB %s", files, bytes / MIB, verb));
        }
    }

    /** "1234 files, 56.7 MiB in 3.2 s (17.7 MiB/s, 385 files/s)". */
    String summary() {
        double seconds = Math.max(seconds(), 1e-3);
        return String.format(Locale.ROOT, "%d files, %.1f MiB in %.1f s (%.1f MiB/s, %.0f files/s)", files,
                bytes / MIB, seconds, bytes / MIB / seconds, files / seconds);
    }
}
