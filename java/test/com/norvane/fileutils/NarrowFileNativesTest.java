package com.norvane.fileutils;

import static com.norvane.fileutils.Win32FileNatives.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import java.io.RandomAccessFile;
import java.nio.file.Files;
import java.util.HashMap;
import java.util.Map;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * On a machine of the Windows 9x family the library enumerates and asks for drive types through
 * the narrow functions. The family is read when the library loads, so this class makes the
 * machine a 9x one before anything loads it (each test class runs in a virtual machine of its own).
 */
class NarrowFileNativesTest {
    @BeforeAll
    static void makeTheMachineWindows9x() {
        MachineTool.set("version.family", "9x");
    }

    @Test
    void enumerationThroughTheNarrowFunctions() throws Exception {
        String dir = Machine.freshDirectory("narrow");
        try (RandomAccessFile big = new RandomAccessFile(Machine.host(dir + "\\big.bin").toFile(), "rw")) {
            big.setLength(5_000_000_000L);
        }
        Files.writeString(Machine.host(dir + "\\caf\u00e9.txt"), "1234");
        Win32FileInfo info = new Win32FileInfo();
        long handle = nativeFindFirstFile(dir + "\\big.bin", info);
        assertNotEquals(0, handle);
        assertEquals(5_000_000_000L, info.filesize);
        assertNull(nativeFindNextFile(handle, info));
        assertEquals("big.bin", info.filename);
        nativeFindClose(handle);

        Map<String, Long> sizes = new HashMap<>();
        handle = nativeFindFirstFile(dir + "\\*", info);
        assertEquals(".", info.filename);
        assertTrue(info.directory);
        do {
            sizes.put(info.filename, info.filesize);
        } while (nativeFindNextFile(handle, info) != null);
        nativeFindClose(handle);
        assertEquals(Map.of(".", 0L, "..", 0L, "big.bin", 5_000_000_000L, "caf\u00e9.txt", 4L), sizes);
    }

    @Test
    void theNarrowSearchReportsNoMatchByItsResultAlone() {
        String dir = Machine.freshDirectory("nomatch");
        assertEquals(0, nativeFindFirstFile(dir + "\\*.none", new Win32FileInfo()));
        assertEquals("", assertThrows(NullPointerException.class, () -> nativeFindFirstFile(null, new Win32FileInfo()))
                .getMessage());
    }

    @Test
    void driveTypesThroughTheNarrowFunction() {
        assertEquals(DRIVE_FIXED, nativeDriveType("C:\\"));
        assertEquals(DRIVE_NO_ROOT_DIR, nativeDriveType("Q:\\"));
        assertEquals("", assertThrows(NullPointerException.class, () -> nativeDriveType(null)).getMessage());
    }
}
