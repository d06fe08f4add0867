package com.pemrix.vss;

/** One writer's metadata document: its identity, components and restore method. */
public final class WriterMetaData {
    private final long handle;

    public WriterMetaData(long handle) {
        this.handle = handle;
    }

    public long handle() {
        return handle;
    }

    /** A native object of a saved metadata document; the caller wraps and deletes the handle. */
    public static native long Create(String xml) throws VssException;

    public static native void LoadFromXML(long h, String xml) throws VssException;

    public static native String SaveAsXML(long h) throws VssException;

    public static native byte[] GetWriterId(long h) throws VssException;

    public static native byte[] GetInstanceId(long h) throws VssException;

    public static native String getName(long h) throws VssException;

    public static native int getUsageType(long h) throws VssException;

    public static native int getSourceType(long h) throws VssException;

    public static native int getComponentCount(long h) throws VssException;

    public static native WMComponent getComponent(long h, int index) throws VssException;

    public static native VssRestoreInfo getRestoreInfo(long h) throws VssException;
}
