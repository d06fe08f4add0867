package com.pemrix.demo.backup;

import java.util.HashSet;
import java.util.Set;

/** What the parts of one verification share: the archive and the table they fill. */
final class VerifyRun {
    final JobLog log;
    final JobControl control;
    final ArchiveReader archive;
    final Manifest manifest;
    final VerificationTable table = new VerificationTable();
    final byte[] buffer = new byte[1 << 20];
    /** Paths that the restore left as they were, at their writer's request: not compared. */
    final Set<String> leftAlone = new HashSet<>();

    VerifyRun(JobLog log, JobControl control, ArchiveReader archive) {
        this.log = log;
        this.control = control;
        this.archive = archive;
        this.manifest = archive.manifest();
    }
}
