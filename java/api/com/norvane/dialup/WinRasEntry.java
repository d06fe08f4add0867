package com.norvane.dialup;

/** An active dial-up connection: the phonebook entry it dialled and its handle. */
public final class WinRasEntry {
    public String name;
    public long handle;

    private WinRasEntry() {}

    @Override
    public String toString() {
        return name + " (0x" + Long.toHexString(handle) + ")";
    }
}
