package com.pemrix.vaultcore.os.win32;

/**
 * Operating-system utilities: the computer's names, the product type of the running Windows,
 * restoring the COM+ registration catalogue, and stopping a service with the services that
 * depend on it.
 *
 * <p>{@link #init()} must have run before the other methods. Failures raise
 * {@code java.lang.Exception} with the system's text of the error.
 */
public final class Util {
    static {
        System.loadLibrary("pallux");
    }

    public static final int COMPUTER_NAME_NETBIOS = 0;
    public static final int COMPUTER_NAME_DNS_HOSTNAME = 1;
    public static final int COMPUTER_NAME_DNS_DOMAIN = 2;
    public static final int COMPUTER_NAME_DNS_FULLY_QUALIFIED = 3;
    public static final int COMPUTER_NAME_PHYSICAL_NETBIOS = 4;
    public static final int COMPUTER_NAME_PHYSICAL_DNS_HOSTNAME = 5;
    public static final int COMPUTER_NAME_PHYSICAL_DNS_DOMAIN = 6;
    public static final int COMPUTER_NAME_PHYSICAL_DNS_FULLY_QUALIFIED = 7;

    public static final byte VER_NT_WORKSTATION = 1;
    public static final byte VER_NT_DOMAIN_CONTROLLER = 2;
    public static final byte VER_NT_SERVER = 3;

    private Util() {}

    public static native void init();

    /** The computer's name in one of the Windows computer-name formats (0 to 7). */
    public static native String GetComputerNameEx(int nameType) throws Exception;

    /** 1 workstation, 2 domain controller, 3 server; -1 when the version cannot be read. */
    public static native byte GetProductType();

    /** Restores the COM+ registration catalogue from a backup file; nothing when the system has no catalogue utilities. */
    public static native void RegDBRestoreN(String path) throws Exception;

    /** Stops the service and, first, every active service that depends on it, within 30 seconds in all. */
    public static native void StopServiceN(String serviceName) throws Exception;
}
