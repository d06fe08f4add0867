package com.pemrix.vss;

/**
 * One requester context of the shadow copy service. The natives take the handle of the native
 * object explicitly; the service enforces the order of the steps ("VSS in bad state").
 */
public final class BackupComponents {
    public static final int VSS_BT_FULL = 1;
    public static final int VSS_BT_INCREMENTAL = 2;
    public static final int VSS_BT_DIFFERENTIAL = 3;
    public static final int VSS_BT_LOG = 4;
    public static final int VSS_BT_COPY = 5;

    public static final int VSS_CT_DATABASE = 1;
    public static final int VSS_CT_FILEGROUP = 2;

    private final long handle;

    public BackupComponents(long handle) {
        this.handle = handle;
    }

    public long handle() {
        return handle;
    }

    // ---- backup ----

    public static native void initializeForBackup(long h) throws VssException;

    public static native void setState(boolean selectComponents, boolean bootableSystemState, int backupType, long h)
            throws VssException;

    public static native void gatherWriterMetadata(long h) throws VssException;

    public static native int getWriterMetadataCount(long h) throws VssException;

    public static native WriterMetaData getWriterMetadata(long h, int index) throws VssException;

    public static native void startSnapshotSet(long h) throws VssException;

    public static native boolean isVolumeSupported(String volumeName, long h) throws VssException;

    public static native byte[] addToSnapshotSet(String volumeName, long h) throws VssException;

    public static native void prepareForBackup(long h) throws VssException;

    public static native void doSnapshotSet(long h) throws VssException;

    public static native String getSnapshotDevice(byte[] snapshotId, long h) throws VssException;

    public static native void AddComponent(long h, byte[] instanceId, byte[] writerId, int componentType,
            String logicalPath, String componentName) throws VssException;

    public static native void SetBackupSucceeded(long h, byte[] instanceId, byte[] writerId, int componentType,
            String logicalPath, String componentName, boolean succeeded) throws VssException;

    public static native void backupComplete(long h) throws VssException;

    public static native void abortBackup(long h) throws VssException;

    public static native String SaveAsXml(long h) throws VssException;

    public static native void LoadFromXML(long h, String xml) throws VssException;
}
