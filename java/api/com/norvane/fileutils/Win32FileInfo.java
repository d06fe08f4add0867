package com.norvane.fileutils;

/** One directory entry, as {@link Win32FileNatives} enumerations fill it. */
public class Win32FileInfo {
    /** The entry's name, without its directory. */
    public String filename;
    /** The entry's attribute word ({@code FILE_ATTRIBUTE_} bits). */
    public long fileattrib;
    /** The entry's size in bytes. */
    public long filesize;
    /** Whether the entry is a directory. */
    public boolean directory;

    @Override
    public String toString() {
        return filename + (directory ? " <dir>" : " " + filesize) + " 0x" + Long.toHexString(fileattrib);
    }
}
