package com.norvane.dialup;

/**
 * Dial-up networking through the Windows remote access service: the phonebook entries, the
 * active connections, dialling, polling a connection's state and hanging up; and the desktop
 * helpers that go with the application's main window.
 *
 * <p>Remote access failures come back as values, never as exceptions. When the system has no
 * remote access service, {@link #RasEnumEntries} and {@link #RasEnumConnections} return null,
 * {@link #RasDial} and {@link #RasHangUp} -1 and {@link #RasGetConnectStatus}
 * {@link #NO_CONNECTION}.
 */
public final class Pallux {
    static {
        System.loadLibrary("pallux");
    }

    /** What {@link #RasGetConnectStatus} returns for a connection it cannot report on. */
    public static final int NO_CONNECTION = 601;
    /** Connection states ({@code RASCONNSTATE}) that end a dial. */
    public static final int RASCS_CONNECTED = 0x2000;
    public static final int RASCS_DISCONNECTED = 0x2001;

    private Pallux() {}

    /** The names of the entries of the default phonebooks; null for more than 20 or on failure. */
    public static native String[] RasEnumEntries();

    /** The active connections; null when there are none or on failure. */
    public static native WinRasEntry[] RasEnumConnections();

    /**
     * Starts dialling a phonebook entry and returns at once: the connection's handle, or 600
     * minus the remote access error (0 or less), or -1 when the service is unavailable or a
     * string does not fit the dial parameters (256 bytes each).
     */
    public static native long RasDial(String entry, String user, String password);

    /** The state of a connection ({@code RASCONNSTATE}), or {@link #NO_CONNECTION}. */
    public static native int RasGetConnectStatus(long handle);

    /** Hangs a connection up without waiting for the line to close; 0 or the error. */
    public static native int RasHangUp(long handle);

    /** Remembers the title of the application's main window. */
    public static native void SetTitle(String title);

    /**
     * 1 when no window has the application's title; 0 when one had, which is then restored
     * and brought to the foreground (another instance of the application runs).
     */
    public static native int newInstance();

    /** Opens a document or program through the shell, hidden. */
    public static native void ExecShell(String file);
}
