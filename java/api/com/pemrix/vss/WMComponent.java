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
}
