package com.pemrix.vss;

/** One component that a writer declares; getInfo fills the fields below. */
public final class WMComponent {
    public static final int VSS_CT_DATABASE = 1;
    public static final int VSS_CT_FILEGROUP = 2;

    private final long handle;

    public int flags;
    public int fileCount;
    public int dependencyCount;
    public int logfileCount;
    public int databaseCount;
    public int type;
    public String caption;
    public String componentName;
    public String logicalPath;
    public boolean selectable;
    public boolean selectableForRestore;
    public boolean restoreMetadata;

    public WMComponent(long handle) {
        this.handle = handle;
    }

    public long handle() {
        return handle;
    }

    /** Fills the fields of this object from the component's information. */
    public native void getInfo(long h) throws VssException;

    public static native FileDescriptor getFile(long h, int index) throws VssException;

    public static native FileDescriptor getDatabaseFile(long h, int index) throws VssException;

    public static native FileDescriptor getDatabaseLogFile(long h, int index) throws VssException;
}
