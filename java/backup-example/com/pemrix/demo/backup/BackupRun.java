package com.pemrix.demo.backup;

import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/** What the parts of one backup share: the snapshot, the archive being written, its manifest. */
final class BackupRun {
    final JobSettings settings;
    final JobLog log;
    final JobControl control;
    final Progress progress;
    final ShadowCopy shadow;
    final ArchiveWriter archive;
    final Manifest manifest;
    final List<String> excluded;
    /** Components of which a file could not be read; the writers are told they failed. */
    final Map<WriterInfo.ComponentInfo, Boolean> componentOutcome = new HashMap<>();
    final List<String> warnings = new ArrayList<>();
    final byte[] buffer = new byte[1 << 20];
    private final Map<String, Integer> entryCounters = new HashMap<>();

    BackupRun(JobSettings settings, JobLog log, JobControl control, Progress progress, ShadowCopy shadow,
            ArchiveWriter archive, Manifest manifest, List<String> excluded) {
        this.settings = settings;
        this.log = log;
        this.control = control;
        this.progress = progress;
        this.shadow = shadow;
        this.archive = archive;
        this.manifest = manifest;
        this.excluded = excluded;
    }

    /** Where the snapshot holds a path of the volume. */
    String snapshotPath(String livePath) {
        return shadow.snapshotPath(settings.volume, livePath);
    }

    boolean isExcluded(String livePath) {
        for (String path : excluded) {
            if (WindowsPaths.isWithin(livePath, path)) {
                return true;
            }
        }
        return false;
    }

    /** A new entry name in a folder of the archive: "files/000001", "files/000002", ... */
    String newEntryName(String folder) {
        int next = entryCounters.merge(folder, 1, Integer::sum);
        return String.format("%s/%06d", folder, next);
    }

    /** A file that could not be taken: the run goes on, records it and says so at the end. */
    void skipped(String path, String reason) {
        warnings.add(path + ": " + reason);
        manifest.add("skipped").put("path", path).put("reason", reason);
        log.line("skipped " + path + ": " + reason);
        for (WriterInfo writer : shadow.writers()) {
            for (WriterInfo.ComponentInfo component : writer.components) {
                if (component.contains(path)) {
                    componentOutcome.put(component, Boolean.FALSE);
                }
            }
        }
    }
}
