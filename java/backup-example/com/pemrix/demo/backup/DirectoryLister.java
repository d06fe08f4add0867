package com.pemrix.demo.backup;

import java.io.IOException;
import java.util.List;

/** Lists a directory of a volume or a snapshot: its entries' names, attributes and sizes. */
interface DirectoryLister {
    /** One entry of a directory. */
    final class Entry {
        final String name;
        final int attributes;
        final long size;

        Entry(String name, int attributes, long size) {
            this.name = name;
            this.attributes = attributes;
            this.size = size;
        }

        boolean isDirectory() {
            return (attributes & FileAttributes.DIRECTORY) != 0;
        }
    }

    /** The entries of a directory, without "." and "..", in no particular order. */
    List<Entry> list(String directory) throws IOException;
}
