package com.pemrix.vaultcore.os.win32;

import java.io.IOException;
import java.io.InputStream;

/** A file's backup stream (data, alternate streams and optionally security) as an input stream. */
public class BackupInputStream extends InputStream {
    static {
        System.loadLibrary("pallux");
        init();
        // The stream reaches the file through BackupApi, whose natives need their class cache.
        BackupApi.init();
    }

    private final int[] context = new int[2];
    private final boolean processSecurity;
    private long handle;

    public BackupInputStream(String path, boolean processSecurity) throws IOException {
        this.processSecurity = processSecurity;
        int access = BackupApi.GENERIC_READ | (processSecurity ? BackupApi.READ_CONTROL : 0);
        handle = BackupApi.CreateFile(path, access, BackupApi.FILE_SHARE_READ, 0, BackupApi.OPEN_EXISTING,
                BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
    }

    @Override
    public int read() throws IOException {
        byte[] one = new byte[1];
        return read(one, 0, 1) <= 0 ? -1 : one[0] & 0xFF;
    }

    @Override
    public int read(byte[] buffer, int offset, int length) throws IOException {
        if (handle == 0) {
            throw new IOException("stream closed");
        }
        if (length == 0) {
            return 0;
        }
        int n = BackupApi.BackupRead(context, handle, buffer, offset, length, false, processSecurity);
        return n == 0 ? -1 : n;
    }

    @Override
    public void close() throws IOException {
        if (handle != 0) {
            long closing = handle;
            handle = 0;
            BackupApi.BackupRead(context, closing, new byte[0], 0, 0, true, processSecurity);
        }
    }

    static native void init();

    static native int readOne(int handle);

    static native void readMore(int handle, byte[] buffer, int offset, int length);
}
