package com.pemrix.vss;

/**
 * Start-up of the shadow copy bridge, the factory of requester objects, and the deletion of the
 * native object behind any handle of this package.
 *
 * <p>{@link #init()} must have returned before any other native of the package runs; every
 * handle received is deleted exactly once with {@link #delete_CUnknown(long)}.
 */
public final class VSSFactory {
    static {
        System.loadLibrary("shadelink");
    }

    private VSSFactory() {}

    /** Fills the bridge's class cache; raises UnsatisfiedLinkError when the service is absent. */
    public static native void init();

    /** A new requester object; COM is initialised on the calling thread for its lifetime. */
    public static native BackupComponents getBackupComponents0() throws VssException;

    /** Deletes the native object of a handle; 0 is ignored. */
    public static native void delete_CUnknown(long handle);
}
