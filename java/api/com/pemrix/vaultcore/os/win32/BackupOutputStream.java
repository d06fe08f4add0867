package com.pemrix.vaultcore.os.win32;

import java.io.IOException;
import java.io.OutputStream;

/** Restores a file from its backup stream, written as an output stream. */
public class BackupOutputStream extends OutputStream {
    static {
        System.loadLibrary("pallux");
        init();
        // The stream reaches the file through BackupApi, whose natives need their class cache.
        BackupApi.init();
    }

    private final int[] context = new int[2];
    private final boolean processSecurity;
    private long handle;

    public BackupOutputStream(String path, boolean directory, boolean processSecurity) throws IOException {
        this.processSecurity = processSecurity;
        int access = BackupApi.GENERIC_WRITE | BackupApi.GENERIC_READ
                | (processSecurity ? BackupApi.WRITE_DAC | BackupApi.WRITE_OWNER : 0);
        handle = BackupApi.CreateFile(path, access, 0, 0,
                directory ? BackupApi.OPEN_EXISTING : BackupApi.CREATE_ALWAYS, BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
    }

    @Override
    public void write(int b) throws IOException {
        write(new byte[] {(byte) b}, 0, 1);
    }

    @Override
    public void write(byte[] buffer, int offset, int length) throws IOException {
        if (handle == 0) {
            throw new IOException("stream closed");
        }
        while (length > 0) {
            int n = BackupApi.BackupWrite(context, handle, buffer, offset, length, false, processSecurity);
            if (n <= 0) {
                throw new IOException("backup stream not accepted");
            }
            offset += n;
            length -= n;
        }
    }

    @Override
    public void close() throws IOException {
        if (handle != 0) {
            long closing = handle;
            handle = 0;
            BackupApi.BackupWrite(context, closing, new byte[0], 0, 0, true, processSecurity);
        }
    }

    static native void init();
}
