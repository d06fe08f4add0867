package com.pemrix.demo.backup;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.List;

/**
 * A verification: every part compares the machine as it is now with the archive, one row per
 * item; the table and its verdict go to "verify-report.txt" in the working directory.
 */
final class VerifyJob extends Job {
    static final String REPORT_FILE = "verify-report.txt";
    static final String SKIPPED = "skipped at the backup";

    VerifyJob(JobSettings settings, JobLog log, JobControl control, List<Part> parts) {
        super(settings, log, control, parts);
    }

    @Override
    String run() throws Exception {
        prepareNatives(false);
        try (ArchiveReader archive = RestoreJob.openVerified(settings, log, control)) {
            VerifyRun run = new VerifyRun(log, control, archive);
            for (Part part : parts) {
                control.checkpoint();
                log.line("verifying " + part.name());
                part.verify(run);
            }
            List<Manifest.Record> skipped = archive.manifest().all("skipped");
            if (!skipped.isEmpty()) {
                // Not in the archive, so nothing to compare; listed so that nobody takes them for restored.
                run.table.section(SKIPPED, "why");
                for (Manifest.Record record : skipped) {
                    run.table.row(SKIPPED, record.get("path"), true, record.get("reason", "?"));
                }
            }
            Files.writeString(Paths.get(System.getProperty("user.dir"), REPORT_FILE), run.table.render(),
                    StandardCharsets.UTF_8);
            String verdict = run.table.verdict();
            if (run.table.mismatches() > 0) {
                throw new JobFailure(verdict);
            }
            return verdict;
        }
    }
}
