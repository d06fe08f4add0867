package com.pemrix.demo.backup;

import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Instant;
import java.util.ArrayList;
import java.util.List;

/**
 * A backup: a shadow copy of the volume, every part read from it into a new archive, the writers
 * told of the outcome, and the archive given its name only once complete.
 */
final class BackupJob extends Job {
    BackupJob(JobSettings settings, JobLog log, JobControl control, List<Part> parts) {
        super(settings, log, control, parts);
    }

    @Override
    String run() throws Exception {
        prepareNatives(true);
        Manifest manifest = new Manifest();
        manifest.add("archive").put("created", Instant.now().toString()).put("volume", settings.volume)
                .put("include", String.join(";", settings.include));
        Progress progress = new Progress(log, control, "backed up", settings.maxRateMiB);
        Path target = LocalFiles.of(settings.archive);
        Path partial = LocalFiles.of(settings.partialArchive());
        log.line("taking a shadow copy of " + settings.volume);
        try (ArchiveWriter archive = new ArchiveWriter(target, partial, manifest);
                ShadowCopy shadow = ShadowCopy.take(settings.volume, log, control)) {
            log.line("snapshot of " + settings.volume + " ready at " + shadow.device());
            manifest.add("snapshot").put("device", shadow.device());
            BackupRun run = new BackupRun(settings, log, control, progress, shadow, archive, manifest, excluded());
            WriterRestore.record(run);
            for (Part part : parts) {
                control.checkpoint();
                log.line("backing up " + part.name());
                part.backUp(run);
            }
            progress.reportNow();
            control.checkpoint();
            // A writer may act on a completed backup (a database truncates its logs, say): what was
            // read is on disk before any writer hears that its components were backed up.
            archive.sync();
            String document = shadow.complete(run.componentOutcome);
            WriterRestore.recordDocument(run, document);
            manifest.add("summary").put("files", progress.files()).put("bytes", progress.bytes())
                    .put("skipped", run.warnings.size());
            archive.commit();
            log.line("archive " + settings.archive + " complete: " + archive.entries() + " entries");
            String summary = progress.summary();
            if (!run.warnings.isEmpty()) {
                summary += "; " + run.warnings.size() + " skipped (first: " + run.warnings.get(0) + ")";
            }
            return summary;
        }
    }

    /**
     * What the backup leaves out: what the settings name, the archive's folder and the client's
     * working directory (both change while it runs), the system's temporary files, and the hive
     * files, which are in use and are taken by the registry part from the snapshot on their own.
     */
    private List<String> excluded() {
        List<String> excluded = new ArrayList<>(settings.exclude);
        excluded.add(LocalFiles.parent(settings.archive));
        String workingDirectory = LocalFiles.windowsPath(Paths.get(System.getProperty("user.dir")));
        if (workingDirectory != null) {
            excluded.add(workingDirectory);
        }
        excluded.add(WindowsPaths.join(systemRoot(), "System32\\config"));
        excluded.add(WindowsPaths.join(systemRoot(), "Temp"));
        return excluded;
    }

    static String systemRoot() {
        String root = System.getenv("SystemRoot");
        return root == null || root.isEmpty() || root.startsWith("/") ? "C:\\Windows" : WindowsPaths.trim(root);
    }
}
