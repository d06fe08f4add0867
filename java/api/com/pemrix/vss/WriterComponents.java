package com.pemrix.vss;

/** The components that a backup document records for one writer. */
public final class WriterComponents {
    private final long handle;

    public WriterComponents(long handle) {
        this.handle = handle;
    }

    public long handle() {
        return handle;
    }

    public static native byte[] GetWriterId(long h) throws VssException;

    public static native int GetComponentCount(long h) throws VssException;

    public static native Component GetComponent(long h, int index) throws VssException;
}
