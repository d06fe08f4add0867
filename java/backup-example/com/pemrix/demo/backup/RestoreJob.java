package com.pemrix.demo.backup;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.List;

/**
 * A restore: the archive is checked whole before anything changes, then the writers' restore
 * sequence runs around the parts, which put back what the archive holds; last, the files are
 * compared with the archive ("restore-report.txt" in the working directory).
 */
final class RestoreJob extends Job {
    static final String REPORT_FILE = "restore-report.txt";

    RestoreJob(JobSettings settings, JobLog log, JobControl control, List<Part> parts) {
        super(settings, log, control, parts);
    }

    @Override
    String run() throws Exception {
        prepareNatives(true);
        try (ArchiveReader archive = openVerified(settings, log, control)) {
            Progress progress = new Progress(log, control, "restored", 0);
            RestoreRun run = new RestoreRun(settings, log, control, progress, archive);
            try (WriterRestore writers = WriterRestore.begin(run)) {
                run.writers = writers;
                for (Part part : parts) {
                    control.checkpoint();
                    log.line("restoring " + part.name());
                    part.restore(run);
                }
                progress.reportNow();
                writers.finish(run);
                for (String service : writers.stoppedServices()) {
                    run.pendingStart.add(service);
                }
            }
            VerifyRun verify = new VerifyRun(log, control, archive);
            verify.leftAlone.addAll(run.leftAlone);
            for (Part part : parts) {
                if (part instanceof FilesPart) {
                    part.verify(verify);
                }
            }
            Files.writeString(Paths.get(System.getProperty("user.dir"), REPORT_FILE), verify.table.render(),
                    StandardCharsets.UTF_8);
            log.line("files compared with the archive: " + verify.table.verdict());
            StringBuilder summary = new StringBuilder(progress.summary());
            if (!run.pendingStart.isEmpty()) {
                summary.append("; stopped for the restore, to be started again: ")
                        .append(String.join(", ", run.pendingStart));
            }
            if (!run.pendingRestart.isEmpty()) {
                summary.append("; after the next restart: ").append(String.join(", ", run.pendingRestart));
            }
            if (!run.leftAlone.isEmpty()) {
                summary.append("; ").append(run.leftAlone.size())
                        .append(" left as they were at their writer's request");
            }
            if (!run.failures.isEmpty()) {
                throw new JobFailure(run.failures.size() + " items could not be restored (first: "
                        + run.failures.get(0) + "); " + summary);
            }
            if (verify.table.mismatches() > 0) {
                throw new JobFailure("the restored files differ from the archive: " + verify.table.verdict());
            }
            return summary.toString();
        }
    }

    /** Opens the archive and reads it whole; a damaged archive is refused before anything changes. */
    static ArchiveReader openVerified(JobSettings settings, JobLog log, JobControl control) throws JobFailure {
        log.line("checking the archive " + settings.archive);
        ArchiveReader archive;
        try {
            archive = ArchiveReader.open(LocalFiles.of(settings.archive), settings.archive);
        } catch (ArchiveException e) {
            throw new JobFailure(e.getMessage() + "; nothing was changed", e);
        }
        try {
            archive.verify(control);
        } catch (ArchiveException e) {
            archive.close();
            throw new JobFailure(e.getMessage() + "; nothing was changed", e);
        }
        log.line("the archive is complete: " + archive.manifest().all("entry").size() + " entries, created "
                + archive.manifest().records().stream().filter(r -> r.kind.equals("archive")).findFirst()
                        .map(r -> r.get("created", "?")).orElse("?"));
        return archive;
    }
}
