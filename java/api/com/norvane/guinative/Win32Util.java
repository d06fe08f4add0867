package com.norvane.guinative;

/** Top-level windows of the desktop, of any process: finding one, posting to it, showing it. */
public final class Win32Util {
    static {
        System.loadLibrary("pallux");
    }

    public static final int WM_USER = 0x0400;
    public static final int WM_LBUTTONDBLCLK = 0x0203;
    public static final int SW_HIDE = 0;
    public static final int SW_SHOWNORMAL = 1;
    public static final int SW_SHOW = 5;
    public static final int SW_MINIMIZE = 6;
    public static final int SW_RESTORE = 9;

    private Win32Util() {}

    /** The first top-level window with the class (null: any) and title; 0 when there is none. */
    public static native long findWindow(String className, String title);

    /** Posts a message to a window without waiting for it to be handled; nonzero on success. */
    public static native int sendMessage(long window, int message, int wParam, long lParam);

    /** Shows, hides, minimises or restores a window; nonzero when it was visible before. */
    public static native int showWindow(long window, int command);
}
