package com.norvane.fileutils;

import static com.norvane.fileutils.Win32FileNatives.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Test;

/** Directory enumeration through the wide functions, long patterns, and drive types. */
class FileEnumerationTest {
    private static final long BIG = 5_000_000_000L;

    private static void sparseFile(Path path, long size) throws IOException {
        try (RandomAccessFile file = new RandomAccessFile(path.toFile(), "rw")) {
            file.setLength(size);
        }
    }

    /** Every entry of an enumeration, by name; the handle is closed. */
    private static Map<String, Win32FileInfo> list(String pattern, List<String> order) {
        Map<String, Win32FileInfo> entries = new HashMap<>();
        Win32FileInfo info = new Win32FileInfo();
        long handle = nativeFindFirstFile(pattern, info);
        assertNotEquals(0, handle);
        do {
            Win32FileInfo copy = new Win32FileInfo();
            copy.filename = info.filename;
            copy.fileattrib = info.fileattrib;
            copy.filesize = info.filesize;
            copy.directory = info.directory;
            entries.put(info.filename, copy);
            order.add(info.filename);
        } while (nativeFindNextFile(handle, info) != null);
        assertNotEquals(0, nativeFindClose(handle));
        return entries;
    }

    @Test
    void aFileOfFiveBillionBytesAsTheFirstEntryAndAsALaterOne() throws Exception {
        String dir = Machine.freshDirectory("big");
        sparseFile(Machine.host(dir + "\\big.bin"), BIG);
        Files.writeString(Machine.host(dir + "\\small.txt"), "12345");
        Files.createDirectory(Machine.host(dir + "\\sub"));

        Win32FileInfo info = new Win32FileInfo();
        long handle = nativeFindFirstFile(dir + "\\big.bin", info);
        assertNotEquals(0, handle);
        assertEquals("big.bin", info.filename);
        assertEquals(BIG, info.filesize);
        assertFalse(info.directory);
        assertEquals(FILE_ATTRIBUTE_ARCHIVE, info.fileattrib);
        // The end leaves the object as it was.
        assertNull(nativeFindNextFile(handle, info));
        assertEquals("big.bin", info.filename);
        assertEquals(BIG, info.filesize);
        assertEquals(FILE_ATTRIBUTE_ARCHIVE, info.fileattrib);
        nativeFindClose(handle);

        List<String> order = new ArrayList<>();
        Map<String, Win32FileInfo> entries = list(dir + "\\*", order);
        assertEquals(List.of(".", ".."), order.subList(0, 2));
        assertEquals(5, entries.size());
        assertTrue(entries.get(".").directory);
        assertTrue(entries.get("..").directory);
        assertTrue(entries.get("sub").directory);
        assertEquals(FILE_ATTRIBUTE_DIRECTORY, entries.get("sub").fileattrib & FILE_ATTRIBUTE_DIRECTORY);
        assertEquals(BIG, entries.get("big.bin").filesize);
        assertEquals(5, entries.get("small.txt").filesize);
    }

    @Test
    void attributesAreTheWholeWordZeroExtended() throws Exception {
        String dir = Machine.freshDirectory("attributes");
        Path file = Machine.host(dir + "\\flags.txt");
        Files.writeString(file, "x");
        // The DOS attributes as Samba stores them, with every settable bit.
        Files.setAttribute(file, "user:DOSATTRIB", "0x2127\0".getBytes("US-ASCII"));
        Win32FileInfo info = new Win32FileInfo();
        long handle = nativeFindFirstFile(dir + "\\flags.txt", info);
        assertEquals(0x2127L, info.fileattrib);
        nativeFindClose(handle);
    }

    @Test
    void patternsThatMatchNothingAndBadArguments() {
        String dir = Machine.freshDirectory("none");
        Win32FileInfo info = new Win32FileInfo();
        FileNotFoundException none = assertThrows(FileNotFoundException.class,
                () -> nativeFindFirstFile(dir + "\\*.nothing", info));
        assertEquals("", none.getMessage());
        assertThrows(FileNotFoundException.class, () -> nativeFindFirstFile(dir + "\\no\\such\\*", info));
        assertNull(info.filename, "a failed search leaves the object alone");

        assertEquals("", assertThrows(NullPointerException.class, () -> nativeFindFirstFile(dir + "\\*", null))
                .getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> nativeFindFirstFile(null, info)).getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> nativeFindNextFile(0, info)).getMessage());
        long handle = nativeFindFirstFile(dir + "\\*", info);
        assertEquals("", assertThrows(NullPointerException.class, () -> nativeFindNextFile(handle, null))
                .getMessage());
        assertNotEquals(0, nativeFindClose(handle));
        // A closed search, or a number that never was one, ends the enumeration without harm.
        assertEquals(0, nativeFindClose(handle));
        assertNull(nativeFindNextFile(handle, info));
        assertNull(nativeFindNextFile(0x12345678L, info));
    }

    @Test
    void informationObjectsOfAnotherClassGetTheirOwnFields() throws Exception {
        String dir = Machine.freshDirectory("classes");
        Files.writeString(Machine.host(dir + "\\a.txt"), "a");
        long handle = nativeFindFirstFile(dir + "\\*", new Win32FileInfo());
        Win32FileInfo derived = new Win32FileInfo() {};
        assertSame(derived, nativeFindNextFile(handle, derived));
        assertNotNull(derived.filename);
        nativeFindClose(handle);
    }

    /** A path of exactly `length` characters: base, directories of up to 200 characters, a file. */
    private static String pathOfLength(String base, int length) {
        StringBuilder path = new StringBuilder(base);
        char fill = 'a';
        while (length - path.length() > 220) {
            path.append('\\').append(String.valueOf(fill++).repeat(200));
        }
        int name = length - path.length() - 1;
        path.append('\\').append("f".repeat(name));
        assertEquals(length, path.length());
        return path.toString();
    }

    private static void create(Path host) throws IOException {
        Files.createDirectories(host.getParent());
        Files.writeString(host, "long");
    }

    @Test
    void longPatternsOnALocalDriveAndOnAShare() throws Exception {
        String dir = Machine.freshDirectory("long");
        for (int length : new int[] {259, 260, 300}) {
            String path = pathOfLength(dir, length);
            create(Machine.host(path));
            Win32FileInfo info = new Win32FileInfo();
            long handle = nativeFindFirstFile(path, info);
            assertNotEquals(0, handle, "length " + length);
            assertEquals(path.substring(path.lastIndexOf('\\') + 1), info.filename);
            nativeFindClose(handle);
            // The same directory through a wildcard.
            String pattern = path.substring(0, path.lastIndexOf('\\')) + "\\f*";
            handle = nativeFindFirstFile(pattern, info);
            assertNotEquals(0, handle, pattern.length() + " characters");
            nativeFindClose(handle);
        }

        Path share = Machine.root().resolve("unc").resolve("fileserver").resolve("backups");
        Files.createDirectories(share);
        String path = pathOfLength("\\\\fileserver\\backups", 300);
        Path host = share;
        for (String part : path.substring("\\\\fileserver\\backups\\".length()).split("\\\\")) {
            host = host.resolve(part);
        }
        create(host);
        Win32FileInfo info = new Win32FileInfo();
        long handle = nativeFindFirstFile(path, info);
        assertNotEquals(0, handle);
        assertEquals(4, info.filesize);
        nativeFindClose(handle);
        // A pattern already in the long form is left as it is.
        handle = nativeFindFirstFile("\\\\?\\UNC" + path.substring(1), info);
        assertNotEquals(0, handle);
        nativeFindClose(handle);
    }

    @Test
    void driveTypes() throws Exception {
        assertEquals(DRIVE_FIXED, nativeDriveType("C:\\"));
        assertEquals(DRIVE_NO_ROOT_DIR, nativeDriveType("Q:\\"));
        Files.createDirectories(Machine.root().resolve("unc").resolve("nas").resolve("public"));
        assertEquals(DRIVE_REMOTE, nativeDriveType("\\\\nas\\public\\"));
        MachineTool.set("drive.E.type", "cdrom");
        MachineTool.set("drive.F.type", "removable");
        MachineTool.set("drive.R.type", "ramdisk");
        MachineTool.set("drive.N.type", "remote");
        MachineTool.set("drive.T.type", "tape");
        try {
            assertEquals(DRIVE_CDROM, nativeDriveType("E:\\"));
            assertEquals(DRIVE_REMOVABLE, nativeDriveType("F:\\"));
            assertEquals(DRIVE_RAMDISK, nativeDriveType("R:\\"));
            assertEquals(DRIVE_REMOTE, nativeDriveType("N:\\"));
            assertEquals(DRIVE_UNKNOWN, nativeDriveType("T:\\"));
        } finally {
            for (String letter : new String[] {"E", "F", "R", "N", "T"}) {
                MachineTool.set("drive." + letter + ".type", "");
            }
        }
        assertEquals("", assertThrows(NullPointerException.class, () -> nativeDriveType(null)).getMessage());
    }
}
