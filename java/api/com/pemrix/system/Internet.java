package com.pemrix.system;

/**
 * The computer's Internet settings as Windows' Internet client library reports them for the whole
 * process. Every method returns null when the setting is absent, the query fails or the library
 * cannot be loaded.
 */
public final class Internet {
    static {
        System.loadLibrary("pallux");
    }

    public static final int INTERNET_OPTION_PROXY = 38;
    public static final int INTERNET_OPTION_VERSION = 40;
    public static final int INTERNET_OPTION_USER_AGENT = 41;
    public static final int INTERNET_OPTION_CONNECTED_STATE = 50;
    public static final int INTERNET_OPTION_MAX_CONNS_PER_SERVER = 73;

    private Internet() {}

    /** The proxy list ("host:port", or "http=host:port;https=..."); null for a direct connection. */
    public static native String queryProxyServers();

    /** The list of hosts reached without the proxy; null for a direct connection or when there is none. */
    public static native String queryProxyBypass();

    /** An option's value read as text (the platform's {@code INTERNET_OPTION_} numbers). */
    public static native String queryStringValue(int option);
}
