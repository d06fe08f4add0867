package com.pemrix.comutil;

/**
 * COM apartment set-up and creation of automation objects by programmatic identifier.
 *
 * <p>{@link #init()} must have returned before any other native of this package runs; each
 * thread that uses COM calls {@link #COMInit(int)} first and {@link #COMUnInit()} when done.
 */
public final class COMInterface {
    /** The multithreaded apartment ({@code COINIT_MULTITHREADED}). */
    public static final int COINIT_MULTITHREADED = 0;
    /** A single-threaded apartment ({@code COINIT_APARTMENTTHREADED}). */
    public static final int COINIT_APARTMENTTHREADED = 2;

    static {
        System.loadLibrary("pallux");
    }

    private COMInterface() {}

    /** Fills the class cache of the COM natives. */
    public static native void init();

    /** Initialises COM on the calling thread; returns the HRESULT (0, 1 when already done, or a failure). */
    public static native int COMInit(int flags);

    /** Ends the calling thread's use of COM. */
    public static native void COMUnInit();

    /** True when an object of the class that the identifier names is registered as running. */
    public static native boolean isActiveObject(String progId) throws Exception;

    /** A new object of the class that the identifier names, through its IDispatch interface. */
    public static native IDispatch getIDispatch(String progId) throws Exception;
}
