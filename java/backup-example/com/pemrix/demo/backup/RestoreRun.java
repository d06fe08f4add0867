package com.pemrix.demo.backup;

import java.util.ArrayList;
import java.util.List;

/** What the parts of one restore share: the verified archive and its manifest. */
final class RestoreRun {
    final JobSettings settings;
    final JobLog log;
    final JobControl control;
    final Progress progress;
    final ArchiveReader archive;
    final Manifest manifest;
    /** Paths that could not be restored, with the reason. */
    final List<String> failures = new ArrayList<>();
    /** Services that the restore stopped and leaves for their owner to start. */
    final List<String> pendingStart = new ArrayList<>();
    /** What takes effect only when the machine restarts. */
    final List<String> pendingRestart = new ArrayList<>();
    /** Paths left as they are because their writer refused the restore. */
    final List<String> leftAlone = new ArrayList<>();
    final byte[] buffer = new byte[1 << 20];
    /** The writers' restore sequence around this restore; set before the parts run. */
    WriterRestore writers;

    RestoreRun(JobSettings settings, JobLog log, JobControl control, Progress progress, ArchiveReader archive) {
        this.settings = settings;
        this.log = log;
        this.control = control;
        this.progress = progress;
        this.archive = archive;
        this.manifest = archive.manifest();
    }

    void failed(String path, String reason) {
        failures.add(path + ": " + reason);
        log.line("could not restore " + path + ": " + reason);
    }

    /** Why a path must not be restored, or null when it may. */
    String refusal(String path) {
        return writers == null ? null : writers.refusal(path);
    }

    boolean hasFailed(String path) {
        String prefix = path + ": ";
        for (String failure : failures) {
            if (failure.startsWith(prefix)) {
                return true;
            }
        }
        return false;
    }
}
