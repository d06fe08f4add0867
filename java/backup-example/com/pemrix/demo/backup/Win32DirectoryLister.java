package com.pemrix.demo.backup;

import com.norvane.fileutils.Win32FileInfo;
import com.norvane.fileutils.Win32FileNatives;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.util.ArrayList;
import java.util.List;

/**
 * Lists a directory with the file natives: one search, each entry's name, attributes and 64-bit
 * size in one call, on a volume or under a snapshot's device alike.
 */
final class Win32DirectoryLister implements DirectoryLister {
    @Override
    public List<Entry> list(String directory) throws IOException {
        Win32FileInfo info = new Win32FileInfo();
        long search;
        try {
            search = Win32FileNatives.nativeFindFirstFile(WindowsPaths.join(directory, "*"), info);
        } catch (Exception e) {
            // The native raises FileNotFoundException, which its declaration does not name.
            if (e instanceof FileNotFoundException) {
                return List.of();
            }
            throw e;
        }
        if (search == 0) {
            throw new IOException("the entries of " + directory + " cannot be listed");
        }
        List<Entry> entries = new ArrayList<>();
        try {
            do {
                if (!info.filename.equals(".") && !info.filename.equals("..")) {
                    entries.add(new Entry(info.filename, (int) info.fileattrib, info.filesize));
                }
            } while (Win32FileNatives.nativeFindNextFile(search, info) != null);
        } finally {
            Win32FileNatives.nativeFindClose(search);
        }
        return entries;
    }
}
