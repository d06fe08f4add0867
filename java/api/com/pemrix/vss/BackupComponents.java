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

    // ---- writer status ----

    /** Gathers the writers' status afresh, freeing the list of the previous gather. */
    public static native void GatherWriterStatusN(long h) throws VssException;

    public static native int GetWriterStatusCnt(long h) throws VssException;

    public static native WriterStatus GetWriterStatus(long h, int index) throws VssException;

    // ---- restore ----

    public static final int VSS_RS_UNDEFINED = 0;
    public static final int VSS_RS_NONE = 1;
    public static final int VSS_RS_ALL = 2;
    public static final int VSS_RS_FAILED = 3;

    public static native int GetWriterComponentsCount(long h) throws VssException;

    public static native WriterComponents GetWriterComponents(long h, int index) throws VssException;

    public static native void SetSelectedForRestore(long h, byte[] writerId, int componentType, String logicalPath,
            String componentName, boolean selected) throws VssException;

    public static native void SetFileRestoreStatus(long h, byte[] writerId, int componentType, String logicalPath,
            String componentName, int status) throws VssException;

    /** Restores the files of a component elsewhere; each text must be shorter than 260 characters. */
    public static native void AddNewTarget(long h, byte[] writerId, int componentType, String logicalPath,
            String componentName, String path, String fileName, boolean recursive, String alternatePath)
            throws Exception;

    public static native void PreRestore(long h) throws VssException;

    public static native void PostRestore(long h) throws VssException;
}
