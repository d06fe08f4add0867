package com.pemrix.vaultcore.os.win32;

/**
 * A key that {@link RegistryApi#RegCreateKeyEx} opened: its handle, closed with
 * {@link RegistryApi#RegCloseKey}, and its disposition (1: the key was created, 2: an existing
 * key was opened).
 */
public final class RegKey {
    public int disposition;
    public long ptr;

    public RegKey(long ptr, int disposition) {
        this.ptr = ptr;
        this.disposition = disposition;
    }
}
