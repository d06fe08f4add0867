package com.pemrix.demo.backup;

import java.io.PrintWriter;
import java.io.StringWriter;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * The backup client as a Windows service: the service host calls {@link #main} when the service
 * starts and {@link #Stop} when it is asked to stop. main starts the run in a worker thread and
 * returns at once; Stop tells the run to end and waits for it, so that the run's clean-up (the
 * shadow copy released, the unfinished archive deleted) is done before the service stops.
 *
 * <p>The run is the one named among the start parameters ("backup", "restore" or "verify"), or
 * the settings' job when none is named. Its settings are "backup.properties" in the working
 * directory; what it does shows in "backup-job.log" and "job-status.txt" there.
 */
public final class BackupService {
    /** How long Stop waits for the run to end; a run sees a stop within one read of at most 1 MiB. */
    static final long STOP_WAIT_MILLIS = 20_000;

    private static final JobControl control = new JobControl();
    private static Thread worker;

    private BackupService() {}

    public static void main(String[] args) {
        Path directory = Paths.get(System.getProperty("user.dir"));
        JobLog log = new JobLog(directory);
        String requested = null;
        for (String arg : args) {
            try {
                requested = Job.kind(arg);
            } catch (IllegalArgumentException notAJob) {
                // The service's name and the host's own parameters (-trace) come first.
            }
        }
        String named = requested;
        Thread thread = new Thread(() -> runJob(directory, log, named), "backup-worker");
        synchronized (BackupService.class) {
            worker = thread;
        }
        log.status("starting");
        thread.start();
    }

    public static void Stop() {
        control.cancel();
        Thread thread;
        synchronized (BackupService.class) {
            thread = worker;
        }
        if (thread != null) {
            try {
                thread.join(STOP_WAIT_MILLIS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    static void runJob(Path directory, JobLog log, String requested) {
        String kind = requested == null ? "backup" : requested;
        try {
            JobSettings settings = JobSettings.load(directory.resolve(JobSettings.FILE_NAME));
            kind = requested == null ? settings.defaultJob : requested;
            log.line("starting " + kind);
            log.status("running " + kind);
            String summary = Job.create(kind, settings, log, control).run();
            log.line(kind + " succeeded: " + summary);
            log.status("succeeded " + kind + ": " + summary);
        } catch (JobControl.Cancelled e) {
            log.line(kind + " cancelled: the service was stopped");
            log.status("cancelled " + kind);
        } catch (Throwable e) {
            String message = describe(e);
            log.line(kind + " failed: " + message);
            if (!(e instanceof JobFailure)) {
                StringWriter trace = new StringWriter();
                e.printStackTrace(new PrintWriter(trace));
                log.line(trace.toString().trim());
            }
            log.status("failed " + kind + ": " + message);
        }
    }

    /** A failure as a person reads it: its message, with the kind of failure when that helps. */
    static String describe(Throwable e) {
        if (e instanceof JobFailure) {
            return e.getMessage();
        }
        String message = e.getMessage() == null ? "" : e.getMessage();
        String kind = e.getClass().getSimpleName();
        if (e instanceof com.pemrix.vss.VssException) {
            return "the shadow copy service failed: " + message;
        }
        return message.isEmpty() ? kind : kind + ": " + message;
    }
}
