package com.norvane.fileutils;

import java.io.IOException;

/**
 * Windows file system services: directory enumeration with attributes and 64-bit sizes, directory
 * change notification with a waitable handle, drive types, and moving, renaming or deleting files
 * (also at the next start of the machine).
 *
 * <p>An enumeration is {@link #nativeFindFirstFile}, then {@link #nativeFindNextFile} with the same
 * handle and information object until it returns null, then {@link #nativeFindClose}. Change
 * notification is {@link #nativeFindFirstChangeNotification}, then {@link #nativeWaitForSingleObject}
 * and {@link #nativeFindNextChangeNotification} (which re-arms the handle) as often as wanted, then
 * {@link #nativeFindCloseChangeNotification}. Every handle must be closed exactly once.
 */
public final class Win32FileNatives {
    static {
        System.loadLibrary("pallux");
    }

    public static final int FILE_ATTRIBUTE_READONLY = 0x01;
    public static final int FILE_ATTRIBUTE_HIDDEN = 0x02;
    public static final int FILE_ATTRIBUTE_SYSTEM = 0x04;
    public static final int FILE_ATTRIBUTE_DIRECTORY = 0x10;
    public static final int FILE_ATTRIBUTE_ARCHIVE = 0x20;

    public static final int FILE_NOTIFY_CHANGE_FILE_NAME = 0x001;
    public static final int FILE_NOTIFY_CHANGE_DIR_NAME = 0x002;
    public static final int FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x004;
    public static final int FILE_NOTIFY_CHANGE_SIZE = 0x008;
    public static final int FILE_NOTIFY_CHANGE_LAST_WRITE = 0x010;
    public static final int FILE_NOTIFY_CHANGE_LAST_ACCESS = 0x020;
    public static final int FILE_NOTIFY_CHANGE_CREATION = 0x040;
    public static final int FILE_NOTIFY_CHANGE_SECURITY = 0x100;

    /** The change notification handle of a failed call. */
    public static final long INVALID_HANDLE_VALUE = -1;

    public static final int INFINITE = -1;
    public static final long WAIT_OBJECT_0 = 0;
    public static final long WAIT_ABANDONED = 0x80;
    public static final long WAIT_TIMEOUT = 0x102;
    public static final long WAIT_FAILED = 0xFFFFFFFFL;

    public static final int DRIVE_UNKNOWN = 0;
    public static final int DRIVE_NO_ROOT_DIR = 1;
    public static final int DRIVE_REMOVABLE = 2;
    public static final int DRIVE_FIXED = 3;
    public static final int DRIVE_REMOTE = 4;
    public static final int DRIVE_CDROM = 5;
    public static final int DRIVE_RAMDISK = 6;

    public static final int MOVEFILE_REPLACE_EXISTING = 0x01;
    public static final int MOVEFILE_COPY_ALLOWED = 0x02;
    public static final int MOVEFILE_DELAY_UNTIL_REBOOT = 0x04;
    public static final int MOVEFILE_WRITE_THROUGH = 0x08;

    private Win32FileNatives() {}

    /**
     * Starts an enumeration: fills {@code info} with the first entry that matches the pattern and
     * returns the search handle. Throws {@link java.io.FileNotFoundException} when nothing matches.
     */
    public static native long nativeFindFirstFile(String pattern, Win32FileInfo info);

    /** Fills {@code info} with the next entry and returns it; null at the end, leaving it as it was. */
    public static native Win32FileInfo nativeFindNextFile(long handle, Win32FileInfo info);

    /** Ends an enumeration; nonzero on success. */
    public static native int nativeFindClose(long handle);

    /** A change notification handle, or {@link #INVALID_HANDLE_VALUE}. */
    public static native long nativeFindFirstChangeNotification(String directory, boolean watchSubtree, int filter);

    /** Re-arms a change notification handle; nonzero on success. */
    public static native int nativeFindNextChangeNotification(long handle);

    public static native int nativeFindCloseChangeNotification(long handle);

    /**
     * Waits for a handle: {@link #WAIT_OBJECT_0}, {@link #WAIT_TIMEOUT} or {@link #WAIT_FAILED}.
     * A time-out of {@link #INFINITE} waits without limit.
     */
    public static native long nativeWaitForSingleObject(long handle, int milliseconds);

    /** The type of the drive whose root is given ({@code "C:\\"}): one of the {@code DRIVE_} values. */
    public static native int nativeDriveType(String root);

    /**
     * Moves, renames or (with a null new name and {@link #MOVEFILE_DELAY_UNTIL_REBOOT}) deletes a
     * file; the message of the exception is the system's text of the failure.
     */
    public static native void MoveFileEx0(String existingName, String newName, int flags) throws IOException;
}
