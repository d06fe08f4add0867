package com.pemrix.demo.backup;

import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.IOException;
import java.io.InputStream;

/**
 * A file's backup stream, read with BackupRead straight into the reader's array as the reader asks
 * for it; closing it ends the sequence.
 */
final class BackupReadStream extends InputStream {
    private static final BackupStreams.Pace UNPACED = count -> { };

    private final long handle;
    private final BackupStreams.Pace pace;
    private final int[] context = new int[2];
    private final byte[] one = new byte[1];
    private boolean ended;
    private boolean closed;

    BackupReadStream(String path) throws IOException {
        this(path, UNPACED);
    }

    /** pace hears of every piece read. */
    BackupReadStream(String path, BackupStreams.Pace pace) throws IOException {
        this.pace = pace;
        handle = BackupApi.CreateFile(path, BackupStreams.READ_ACCESS, BackupStreams.SHARE_ALL, 0,
                BackupApi.OPEN_EXISTING, BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
    }

    @Override
    public int read() throws IOException {
        return read(one, 0, 1) < 0 ? -1 : one[0] & 0xff;
    }

    @Override
    public int read(byte[] buffer, int offset, int length) throws IOException {
        if (closed) {
            throw new IOException("the backup stream is closed");
        }
        if (offset < 0 || length < 0 || length > buffer.length - offset) {
            throw new IndexOutOfBoundsException();
        }
        if (ended) {
            return -1;
        }
        if (length == 0) {
            return 0;
        }
        int n = BackupApi.BackupRead(context, handle, buffer, offset, length, false, true);
        if (n <= 0) {
            ended = true;
            return -1;
        }
        pace.moved(n);
        return n;
    }

    /** Ends the sequence, which frees the system's context and closes the file. */
    @Override
    public void close() throws IOException {
        if (!closed) {
            closed = true;
            BackupApi.BackupRead(context, handle, one, 0, 0, true, true);
        }
    }
}
