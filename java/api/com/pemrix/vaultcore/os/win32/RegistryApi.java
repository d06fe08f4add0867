package com.pemrix.vaultcore.os.win32;

/**
 * The Windows registry, one native per wide registry function. Keys are handles as Java
 * {@code long}s: the predefined roots below, or what {@link #RegOpenKeyEx} and
 * {@link #RegCreateKeyEx} return, closed with {@link #RegCloseKey}. Every failure of the
 * registry raises {@code java.lang.Exception} with the system's text of the error.
 *
 * <p>{@link #init()} must have run before the other methods.
 */
public final class RegistryApi {
    static {
        System.loadLibrary("pallux");
    }

    /** The predefined keys: 32-bit values sign-extended, as 64-bit Windows passes them. */
    public static final long HKEY_CLASSES_ROOT = 0xFFFFFFFF80000000L;
    public static final long HKEY_CURRENT_USER = 0xFFFFFFFF80000001L;
    public static final long HKEY_LOCAL_MACHINE = 0xFFFFFFFF80000002L;
    public static final long HKEY_USERS = 0xFFFFFFFF80000003L;

    public static final int KEY_QUERY_VALUE = 0x0001;
    public static final int KEY_SET_VALUE = 0x0002;
    public static final int KEY_CREATE_SUB_KEY = 0x0004;
    public static final int KEY_ENUMERATE_SUB_KEYS = 0x0008;
    public static final int DELETE = 0x00010000;
    public static final int READ_CONTROL = 0x00020000;
    public static final int WRITE_DAC = 0x00040000;
    public static final int WRITE_OWNER = 0x00080000;
    public static final int ACCESS_SYSTEM_SECURITY = 0x01000000;
    public static final int KEY_READ = 0x20019;
    public static final int KEY_WRITE = 0x20006;
    public static final int KEY_ALL_ACCESS = 0xF003F;

    public static final int REG_OPTION_NON_VOLATILE = 0;
    public static final int REG_OPTION_BACKUP_RESTORE = 4;

    private RegistryApi() {}

    public static native void init();

    /** The opened key's handle. */
    public static native long RegOpenKeyEx(long key, String subKey, int options, int samDesired) throws Exception;

    public static native RegKey RegCreateKeyEx(long key, String subKey, int options, int samDesired) throws Exception;

    public static native void RegCloseKey(long key) throws Exception;

    public static native void RegFlushKey(long key) throws Exception;

    /** Loads a hive file under HKEY_LOCAL_MACHINE or HKEY_USERS; needs the backup and restore privileges. */
    public static native void RegLoadKey(long key, String subKey, String file) throws Exception;

    public static native void RegUnLoadKey(long key, String subKey) throws Exception;

    /**
     * Replaces a hive (the key's own when {@code subKey} is null) with {@code newFile} at the next
     * start of the machine; {@code oldFile} receives the hive as it is now.
     */
    public static native void RegReplaceKey(long key, String subKey, String newFile, String oldFile)
            throws Exception;

    public static native void RegDeleteKey(long key, String subKey) throws Exception;

    /** The name of the subkey at index, or null after the last. */
    public static native String RegEnumKeyExW(long key, int index) throws Exception;

    /** Fills {@code value} with the value at index; false after the last. */
    public static native boolean RegEnumValueW(long key, int index, RegValue value) throws Exception;

    /** Fills {@code value} with the value named {@code valueName}. */
    public static native void RegGetValue(long key, String valueName, RegValue value) throws Exception;

    /** Writes {@code value} (types 1, 2, 3, 4 and 7). */
    public static native void RegSetValueExW(long key, RegValue value) throws Exception;

    /** Copies a value byte for byte, under its own name, to another key. */
    public static native void RegCopyValue(long sourceKey, String valueName, long targetKey) throws Exception;

    /** Copies owner, group and both access lists; the system list needs the security privilege. */
    public static native void RegCopyKeySecurity(long sourceKey, long targetKey) throws Exception;
}
