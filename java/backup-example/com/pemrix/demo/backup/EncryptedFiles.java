package com.pemrix.demo.backup;

import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.util.Arrays;

/**
 * Encrypted files and directories. Their contents can be read only in their raw, still encrypted
 * form, which carries the ciphertext of every stream and the encryption record with the keys of
 * the users who may decrypt it, so that neither the backup nor the restore needs a user's key; the
 * security descriptor is not part of it and is kept beside it. A restore imports the raw form,
 * which rebuilds the file or directory, then gives it its security descriptor and attributes; the
 * users read it again once their keys are on the machine.
 *
 * <p>Manifest records: {@code encrypted path= kind=file|dir attributes= entry=encrypted/N
 * security=encrypted/M}.
 */
class EncryptedFiles {
    static final String RECORD = "encrypted";
    private static final int PIECE = 1 << 20;

    /**
     * The callback of the raw natives: during an export it receives each piece, during an import
     * it hands out the next one. A failure inside it stops the transfer and is raised afterwards.
     */
    public static final class Transfer {
        private final OutputStream out;
        private final InputStream in;
        private final BackupStreams.Pace pace;
        private Exception failure;

        private Transfer(OutputStream out, InputStream in, BackupStreams.Pace pace) {
            this.out = out;
            this.in = in;
            this.pace = pace;
        }

        /** Called by the natives on the thread that called them. */
        public int nextBlock(byte[] buffer, int count) {
            if (failure != null) {
                return out != null ? 1 : -1;
            }
            try {
                if (out != null) {
                    out.write(buffer, 0, count);
                    pace.moved(count);
                    return 0;
                }
                int n = in.read(buffer, 0, Math.min(count, buffer.length));
                if (n > 0) {
                    pace.moved(n);
                }
                return n < 0 ? -1 : n;
            } catch (Exception | Error e) {
                failure = e instanceof Exception ? (Exception) e : new IllegalStateException(e);
                return out != null ? 1 : -1;
            }
        }

        /** Raises what went wrong inside the callback, as it was raised there. */
        void rethrow() throws IOException {
            if (failure instanceof IOException) {
                throw (IOException) failure;
            }
            if (failure instanceof RuntimeException) {
                throw (RuntimeException) failure;
            }
            if (failure != null) {
                throw new IOException(failure.getMessage(), failure);
            }
        }
    }

    /** Writes the raw form of an encrypted file or directory to out. */
    static void export(String path, boolean directory, OutputStream out, BackupStreams.Pace pace) throws IOException {
        long context = BackupApi.OpenEncryptedFileRaw(path, directory ? BackupApi.CREATE_FOR_DIR : 0);
        Transfer transfer = new Transfer(out, null, pace);
        int result;
        try {
            result = BackupApi.ReadEncryptedFileRaw(transfer, context, new byte[PIECE]);
        } finally {
            BackupApi.CloseEncryptedFileRaw(context);
        }
        transfer.rethrow();
        if (result != 0) {
            throw new IOException("the raw export failed with error " + result);
        }
    }

    /** Rebuilds an encrypted file or directory from its raw form. */
    static void importRaw(String path, boolean directory, boolean hidden, InputStream in, BackupStreams.Pace pace)
            throws IOException {
        int flags = BackupApi.CREATE_FOR_IMPORT | (directory ? BackupApi.CREATE_FOR_DIR : 0)
                | (hidden ? BackupApi.OVERWRITE_HIDDEN : 0);
        long context = BackupApi.OpenEncryptedFileRaw(path, flags);
        Transfer transfer = new Transfer(null, in, pace);
        int result;
        try {
            result = BackupApi.WriteEncryptedFileRaw(transfer, context, new byte[PIECE]);
        } finally {
            BackupApi.CloseEncryptedFileRaw(context);
        }
        transfer.rethrow();
        if (result != 0) {
            throw new IOException("the raw import failed with error " + result);
        }
    }

    /** The security record (attributes, then the descriptor) of a path. */
    static byte[] securityRecord(String path) throws IOException {
        for (int size = 1024;; size *= 4) {
            byte[] buffer = new byte[size];
            try {
                return Arrays.copyOf(buffer, (int) BackupApi.readSecurityDescriptor(path, buffer, size));
            } catch (com.pemrix.util.ErrorCodeException e) {
                if (e.getErrorCode() != 122 || size >= 1 << 22) {
                    throw e;
                }
            }
        }
    }

    // ---- backup ----

    void backUp(BackupRun run, String path, boolean directory, int attributes) throws IOException {
        String snapshot = run.snapshotPath(path);
        String entry = run.newEntryName(RECORD);
        byte[] security;
        long length;
        try {
            security = securityRecord(snapshot);
            ArchiveWriter.Producer raw = out -> export(snapshot, directory, out, run.progress::moved);
            length = run.archive.put(entry, raw);
        } catch (ArchiveWriter.UnreadableSource | IOException e) {
            run.skipped(path, "its raw encrypted form cannot be read (" + e.getMessage() + ")");
            return;
        }
        String securityEntry = run.newEntryName(RECORD);
        run.archive.put(securityEntry, security);
        run.manifest.add(RECORD).put("path", path).put("kind", directory ? "dir" : "file")
                .put("attributes", FileAttributes.hex(attributes)).put("entry", entry).put("security", securityEntry);
        run.progress.fileDone(length);
    }

    // ---- restore ----

    /** Rebuilds an encrypted directory or file from the archive; its security comes last. */
    static void restore(RestoreRun run, Manifest.Record record) throws ArchiveException {
        String path = record.get("path");
        boolean directory = record.get("kind").equals("dir");
        try {
            if (!directory) {
                FilesPart.makeReplaceable(path);
            }
            java.nio.file.Files.createDirectories(LocalFiles.of(LocalFiles.parent(path)));
            try (InputStream in = run.archive.open(record.get("entry"))) {
                importRaw(path, directory, !directory, in, run.progress::moved);
            }
            if (!directory) {
                restoreSecurity(run, record);
            }
            run.progress.fileDone(run.archive.entryRecord(record.get("entry")).getLong("length"));
        } catch (IOException e) {
            run.failed(path, e.getMessage());
        }
    }

    /** Gives an entry its security descriptor and attributes as the snapshot had them. */
    static void restoreSecurity(RestoreRun run, Manifest.Record record) throws ArchiveException, IOException {
        byte[] security = run.archive.read(record.get("security"));
        BackupApi.writeSecurityDescriptor(record.get("path"), security, 0, security.length);
    }

    // ---- verification ----

    /** One row: the raw form and security of an encrypted entry as archived and as they are now. */
    static void verify(VerifyRun run, Manifest.Record record) throws Exception {
        String path = record.get("path");
        boolean directory = record.get("kind").equals("dir");
        int archived = (int) record.getLong("attributes");
        int current;
        try {
            current = BackupApi.GetFileAttributes(path);
        } catch (IOException e) {
            run.table.row(FilesPart.SECTION, path, false, VerificationTable.MISSING, "", "", "", "");
            return;
        }
        String data;
        boolean dataSame;
        try {
            java.security.MessageDigest now = java.security.MessageDigest.getInstance("SHA-256");
            export(path, directory, new java.security.DigestOutputStream(OutputStream.nullOutputStream(), now),
                    count -> { });
            java.security.MessageDigest was = java.security.MessageDigest.getInstance("SHA-256");
            try (InputStream in = run.archive.open(record.get("entry"))) {
                for (int n; (n = in.read(run.buffer)) > 0;) {
                    was.update(run.buffer, 0, n);
                }
            }
            dataSame = Arrays.equals(now.digest(), was.digest());
            data = (dataSame ? VerificationTable.SAME : VerificationTable.DIFFERENT) + " (raw)";
        } catch (IOException e) {
            dataSame = false;
            data = "unreadable: " + e.getMessage();
        }
        byte[] wasSecurity = run.archive.read(record.get("security"));
        byte[] nowSecurity = securityRecord(path);
        boolean securitySame = Arrays.equals(Arrays.copyOfRange(wasSecurity, 4, wasSecurity.length),
                Arrays.copyOfRange(nowSecurity, 4, nowSecurity.length));
        boolean attributesSame = (archived & FileAttributes.COMPARED) == (current & FileAttributes.COMPARED);
        boolean encrypted = (current & FileAttributes.ENCRYPTED) != 0;
        run.table.row(FilesPart.SECTION, path, dataSame && securitySame && attributesSame && encrypted, data, "-",
                (attributesSame ? VerificationTable.SAME + " " : VerificationTable.DIFFERENT + " "
                        + FileAttributes.letters(archived) + "/") + FileAttributes.letters(current),
                securitySame ? VerificationTable.SAME : VerificationTable.DIFFERENT,
                encrypted ? "yes" : "no " + VerificationTable.DIFFERENT);
    }
}
