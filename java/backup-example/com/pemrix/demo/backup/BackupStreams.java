package com.pemrix.demo.backup;

import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.IOException;
import java.io.InputStream;

/**
 * A file's backup stream (its data, alternate streams and security, as stream records) written
 * back with BackupWrite, or copied to another file; {@link BackupReadStream} reads one. Files are
 * opened with backup semantics, which the backup and restore privileges let past the file's
 * access list, and each sequence ends with an abort call, which frees the system's context and
 * closes the file, on every path.
 */
final class BackupStreams {
    /** Rights a backup reads with: the data, the security descriptor and the audit list. */
    static final int READ_ACCESS = BackupApi.GENERIC_READ | BackupApi.READ_CONTROL | BackupApi.ACCESS_SYSTEM_SECURITY;
    /** Rights a restore writes with. */
    static final int WRITE_ACCESS = BackupApi.GENERIC_WRITE | BackupApi.WRITE_DAC | BackupApi.WRITE_OWNER
            | BackupApi.ACCESS_SYSTEM_SECURITY;
    static final int SHARE_ALL = BackupApi.FILE_SHARE_READ | BackupApi.FILE_SHARE_WRITE | BackupApi.FILE_SHARE_DELETE;

    /** Called with the count of each piece moved, to count it and to hold the run to its pace. */
    interface Pace {
        void moved(long count);
    }

    private BackupStreams() {}

    /**
     * Replaces what path holds with the backup stream from in: a file is created afresh, a
     * directory must exist and receives its security.
     */
    static long write(String path, boolean directory, InputStream in, byte[] buffer, Pace pace) throws IOException {
        long handle = BackupApi.CreateFile(path, WRITE_ACCESS, 0, 0,
                directory ? BackupApi.OPEN_EXISTING : BackupApi.CREATE_ALWAYS, BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        long total = 0;
        try {
            for (int n; (n = in.readNBytes(buffer, 0, buffer.length)) > 0;) {
                int written = 0;
                while (written < n) {
                    int done = BackupApi.BackupWrite(context, handle, buffer, written, n - written, false, true);
                    if (done <= 0) {
                        throw new IOException("the system took no part of the backup stream");
                    }
                    written += done;
                }
                total += n;
                pace.moved(n);
            }
        } finally {
            BackupApi.BackupWrite(context, handle, buffer, 0, 0, true, true);
        }
        return total;
    }

    /** Copies a file with everything its backup stream holds to a new file (replacing one there). */
    static void copy(String from, String to, byte[] buffer) throws IOException {
        long source = BackupApi.CreateFile(from, READ_ACCESS, SHARE_ALL, 0, BackupApi.OPEN_EXISTING,
                BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] readContext = new int[2];
        try {
            long target = BackupApi.CreateFile(to, WRITE_ACCESS, 0, 0, BackupApi.CREATE_ALWAYS,
                    BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
            int[] writeContext = new int[2];
            try {
                int n;
                while ((n = BackupApi.BackupRead(readContext, source, buffer, 0, buffer.length, false, true)) > 0) {
                    for (int written = 0; written < n;) {
                        int done = BackupApi.BackupWrite(writeContext, target, buffer, written, n - written, false,
                                true);
                        if (done <= 0) {
                            throw new IOException("the system took no part of the backup stream");
                        }
                        written += done;
                    }
                }
            } finally {
                BackupApi.BackupWrite(writeContext, target, buffer, 0, 0, true, true);
            }
        } finally {
            BackupApi.BackupRead(readContext, source, buffer, 0, 0, true, true);
        }
    }
}
