package com.pemrix.demo.backup;

import java.util.ArrayList;
import java.util.List;

/** Windows file attribute bits, and the ones a restore sets and a verification compares. */
final class FileAttributes {
    static final int READONLY = 0x1;
    static final int HIDDEN = 0x2;
    static final int SYSTEM = 0x4;
    static final int DIRECTORY = 0x10;
    static final int ARCHIVE = 0x20;
    static final int NORMAL = 0x80;
    static final int TEMPORARY = 0x100;
    static final int REPARSE_POINT = 0x400;
    static final int OFFLINE = 0x1000;
    static final int NOT_CONTENT_INDEXED = 0x2000;
    static final int ENCRYPTED = 0x4000;

    /** What SetFileAttributes sets; the others follow from what a file is. */
    static final int SETTABLE = READONLY | HIDDEN | SYSTEM | ARCHIVE | TEMPORARY | OFFLINE | NOT_CONTENT_INDEXED;
    /** What a verification compares. */
    static final int COMPARED = SETTABLE | DIRECTORY | ENCRYPTED;

    private FileAttributes() {}

    static String hex(int attributes) {
        return String.format("0x%x", attributes);
    }

    /** "RHSDA" style letters, for people. */
    static String letters(int attributes) {
        List<String> names = new ArrayList<>();
        int[] bits = {READONLY, HIDDEN, SYSTEM, DIRECTORY, ARCHIVE, TEMPORARY, OFFLINE, NOT_CONTENT_INDEXED, ENCRYPTED};
        String[] letters = {"R", "H", "S", "D", "A", "T", "O", "I", "E"};
        for (int i = 0; i < bits.length; i++) {
            if ((attributes & bits[i]) != 0) {
                names.add(letters[i]);
            }
        }
        return names.isEmpty() ? "-" : String.join("", names);
    }
}
