package com.pemrix.vss;

/** One component of a backup document. */
public final class Component {
    private final long handle;

    public Component(long handle) {
        this.handle = handle;
    }

    public long handle() {
        return handle;
    }

    public static final int VSS_RT_UNDEFINED = 0;
    public static final int VSS_RT_ORIGINAL = 1;
    public static final int VSS_RT_ALTERNATE = 2;

    public static native String GetComponentName(long h) throws VssException;

    public static native int GetComponentType(long h) throws VssException;

    /** Null when the component has no logical path. */
    public static native String GetLogicalPath(long h) throws VssException;

    public static native boolean IsSelectedForRestore(long h) throws VssException;

    public static native int GetRestoreTarget(long h) throws VssException;

    /** Null when the writer reported no failure before the restore. */
    public static native String GetPreRestoreFailureMsg(long h) throws VssException;

    public static native int GetRestoreSubcomponentCnt(long h) throws VssException;

    public static native int GetNewTargetCnt(long h) throws VssException;

    public static native int GetPartialFileCnt(long h) throws VssException;

    public static native int GetDirectedTargetCnt(long h) throws VssException;

    public static native int GetDifferencedFilesCnt(long h) throws VssException;

    public static native int GetAlternateLocationMappingCnt(long h) throws VssException;
}
