package com.pemrix.vaultcore.os.win32;

import java.io.IOException;

/**
 * Files through the Windows backup interface: a file's data, alternate streams and security as
 * one backup stream, its attributes and security record, disk space and process privileges.
 *
 * <p>{@link #init()} must have run before the other methods. A backup sequence on one file is
 * {@link #CreateFile}, any number of {@link #BackupRead} or {@link #BackupWrite} calls with one
 * zeroed context array of at least two elements, and one call with {@code abort} set, which
 * frees the context and closes the handle.
 */
public final class BackupApi {
    static {
        System.loadLibrary("pallux");
    }

    public static final int GENERIC_READ = 0x80000000;
    public static final int GENERIC_WRITE = 0x40000000;
    public static final int READ_CONTROL = 0x00020000;
    public static final int WRITE_DAC = 0x00040000;
    public static final int WRITE_OWNER = 0x00080000;
    public static final int ACCESS_SYSTEM_SECURITY = 0x01000000;

    public static final int FILE_SHARE_READ = 1;
    public static final int FILE_SHARE_WRITE = 2;
    public static final int FILE_SHARE_DELETE = 4;

    public static final int CREATE_NEW = 1;
    public static final int CREATE_ALWAYS = 2;
    public static final int OPEN_EXISTING = 3;
    public static final int OPEN_ALWAYS = 4;

    public static final int FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;

    public static final int FILE_ATTRIBUTE_READONLY = 0x01;
    public static final int FILE_ATTRIBUTE_HIDDEN = 0x02;
    public static final int FILE_ATTRIBUTE_SYSTEM = 0x04;
    public static final int FILE_ATTRIBUTE_DIRECTORY = 0x10;
    public static final int FILE_ATTRIBUTE_ARCHIVE = 0x20;
    public static final int FILE_ATTRIBUTE_NORMAL = 0x80;

    public static final int FILE_ATTRIBUTE_ENCRYPTED = 0x4000;

    /** Flags of {@link #OpenEncryptedFileRaw}: 0 opens for export (backup). */
    public static final int CREATE_FOR_IMPORT = 1;
    public static final int CREATE_FOR_DIR = 2;
    public static final int OVERWRITE_HIDDEN = 4;

    public static final int BACKUP_DATA = 1;
    public static final int BACKUP_SECURITY_DATA = 3;
    public static final int BACKUP_ALTERNATE_DATA = 4;

    private BackupApi() {}

    public static native void init();

    public static native long CreateFile(String path, int desiredAccess, int shareMode, long securityAttributes,
            int creationDisposition, int flagsAndAttributes, long templateFile) throws IOException;

    public static native int BackupRead(int[] context, long handle, byte[] buffer, int offset, int length,
            boolean abort, boolean processSecurity) throws IOException;

    public static native int BackupWrite(int[] context, long handle, byte[] buffer, int offset, int length,
            boolean abort, boolean processSecurity) throws IOException;

    public static native void CloseHandle(long handle) throws IOException;

    public static native int GetFileAttributes(String path) throws IOException;

    public static native void SetFileAttributes(String path, int attributes) throws IOException;

    public static native long getFreeDiskSpace(String path);

    public static native long getTotalDiskSpace(String path);

    public static native void setPrivilege(String privilegeName, boolean enable) throws Exception;

    /** The security record: attribute bits (4 bytes, little-endian), then the self-relative descriptor. */
    public static native long readSecurityDescriptor(String path, byte[] buffer, int length) throws IOException;

    /** Restores a security record spanning {@code buffer[offset]} up to (not including) {@code buffer[length]}. */
    public static native void writeSecurityDescriptor(String path, byte[] buffer, int offset, int length)
            throws IOException;

    /**
     * Opens an encrypted file or directory for its raw form: for export with flags 0, for import
     * with {@link #CREATE_FOR_IMPORT}; {@link #CREATE_FOR_DIR} for a directory. Returns the raw
     * context for the calls below, which {@link #CloseEncryptedFileRaw} ends.
     */
    public static native long OpenEncryptedFileRaw(String path, int flags) throws IOException;

    /**
     * Exports the raw form: {@code callback.nextBlock(buffer, count)} ({@code int nextBlock(byte[], int)})
     * receives it in pieces of at most {@code buffer.length} bytes at the start of the array and
     * returns 0 to go on, anything else to stop. Returns the system's result, 0 on success.
     */
    public static native int ReadEncryptedFileRaw(Object callback, long context, byte[] buffer) throws IOException;

    /**
     * Imports the raw form: {@code callback.nextBlock(buffer, room)} writes up to {@code room}
     * bytes (and no more than the array holds) to the start of the array and returns their
     * number, 0 to be asked again, a negative value at the end. Returns the system's result.
     */
    public static native int WriteEncryptedFileRaw(Object callback, long context, byte[] buffer) throws IOException;

    public static native void CloseEncryptedFileRaw(long context) throws IOException;
}
