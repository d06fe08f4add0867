package com.pemrix.demo.backup;

/** What the parts of one verification share: the archive and the table they fill. */
final class VerifyRun {
    final JobLog log;
    final JobControl control;
    final ArchiveReader archive;
    final Manifest manifest;
    final VerificationTable table = new VerificationTable();
    final byte[] buffer = new byte[1 << 20];

    VerifyRun(JobLog log, JobControl control, ArchiveReader archive) {
        this.log = log;
        this.control = control;
        this.archive = archive;
        this.manifest = archive.manifest();
    }
}
