package com.pemrix.vaultcore.os.win32;

import static com.pemrix.vaultcore.os.win32.BackupApi.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** Opening, closing, attributes, disk space and privileges. */
class BackupApiTest {
    @BeforeAll
    static void init() {
        BackupApi.init();
    }

    private static String file(String directory, String name, String contents) throws IOException {
        String path = directory + "\\" + name;
        Files.writeString(Machine.host(path), contents);
        return path;
    }

    @Test
    void createFileOpensAndReportsMissingFilesWithTheSystemText() throws Exception {
        String dir = Machine.freshDirectory("create");
        String path = file(dir, "a.txt", "hello");
        long handle = CreateFile(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
        assertNotEquals(0, handle);
        CloseHandle(handle);

        IOException missing = assertThrows(IOException.class,
                () -> CreateFile(dir + "\\nope.txt", GENERIC_READ, 0, 0, OPEN_EXISTING, 0, 0));
        assertEquals("The system cannot find the file specified.", missing.getMessage());
        IOException noPath = assertThrows(IOException.class,
                () -> CreateFile(dir + "\\no\\such.txt", GENERIC_READ, 0, 0, OPEN_EXISTING, 0, 0));
        assertEquals("The system cannot find the path specified.", noPath.getMessage());
    }

    /** A security-attributes value that points nowhere is refused by the call, not followed. */
    @Test
    void createFileWithSecurityAttributesThatPointNowhereFails() throws Exception {
        String path = Machine.freshDirectory("attributes") + "\\new.bin";
        for (long attributes : new long[] {0x10L, 0x7ff0_0000_0000L, -8L}) {
            IOException refused = assertThrows(IOException.class,
                    () -> CreateFile(path, GENERIC_WRITE, 0, attributes, CREATE_NEW, 0, 0));
            assertEquals("Invalid access to memory location.", refused.getMessage());
        }
        assertFalse(Files.exists(Machine.host(path)));
    }

    @Test
    void createFileLeavesFlagsSharingAndDispositionToTheCaller() throws Exception {
        String dir = Machine.freshDirectory("flags");
        IOException noBackupSemantics = assertThrows(IOException.class,
                () -> CreateFile(dir, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0));
        assertEquals("Access is denied.", noBackupSemantics.getMessage());
        CloseHandle(CreateFile(dir, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, 0));

        String path = dir + "\\new.bin";
        long first = CreateFile(path, GENERIC_WRITE, 0, 0, CREATE_NEW, 0, 0);
        IOException sharing = assertThrows(IOException.class,
                () -> CreateFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING, 0, 0));
        assertEquals("The process cannot access the file because it is being used by another process.",
                sharing.getMessage());
        CloseHandle(first);
        IOException exists = assertThrows(IOException.class,
                () -> CreateFile(path, GENERIC_WRITE, 0, 0, CREATE_NEW, 0, 0));
        assertEquals("The file exists.", exists.getMessage());
    }

    @Test
    void closeHandleRejectsZeroAndHandlesAlreadyClosed() throws Exception {
        String path = file(Machine.freshDirectory("close"), "c.txt", "x");
        long handle = CreateFile(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
        CloseHandle(handle);
        IOException twice = assertThrows(IOException.class, () -> CloseHandle(handle));
        assertEquals("The handle is invalid.", twice.getMessage());
        NullPointerException zero = assertThrows(NullPointerException.class, () -> CloseHandle(0));
        assertEquals("", zero.getMessage());
    }

    @Test
    void nullPathsRaiseNullPointerExceptionWithAnEmptyMessage() {
        assertEquals("", assertThrows(NullPointerException.class,
                () -> CreateFile(null, GENERIC_READ, 0, 0, OPEN_EXISTING, 0, 0)).getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> GetFileAttributes(null)).getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> SetFileAttributes(null, 0)).getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> setPrivilege(null, true)).getMessage());
        assertThrows(NullPointerException.class, () -> getFreeDiskSpace(null));
        assertThrows(NullPointerException.class, () -> getTotalDiskSpace(null));
    }

    @Test
    void attributesRoundTripAndComeFromTheDirectoryEntry() throws Exception {
        String dir = Machine.freshDirectory("attributes");
        String path = file(dir, "f.txt", "data");
        assertEquals(FILE_ATTRIBUTE_ARCHIVE, GetFileAttributes(path));
        SetFileAttributes(path, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
        assertEquals(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, GetFileAttributes(path));
        SetFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
        assertEquals(FILE_ATTRIBUTE_NORMAL, GetFileAttributes(path));

        assertEquals(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributes(dir + "\\") & FILE_ATTRIBUTE_DIRECTORY);
        assertEquals(GetFileAttributes(dir), GetFileAttributes(dir + "\\"));
        // A wildcard reports the first entry that matches.
        assertEquals(FILE_ATTRIBUTE_NORMAL, GetFileAttributes(dir + "\\f.*"));

        IOException missing = assertThrows(IOException.class, () -> GetFileAttributes(dir + "\\gone"));
        assertEquals("The system cannot find the file specified.", missing.getMessage());
        IOException missingSet = assertThrows(IOException.class, () -> SetFileAttributes(dir + "\\gone", 0));
        assertEquals("The system cannot find the file specified.", missingSet.getMessage());
        IOException notADirectory = assertThrows(IOException.class, () -> SetFileAttributes(path + "\\", 0));
        assertEquals("The filename, directory name, or volume label syntax is incorrect.",
                notADirectory.getMessage());
    }

    @Test
    void attributesAreStoredInSambasExtendedAttribute() throws Exception {
        String path = file(Machine.freshDirectory("dosattrib"), "s.txt", "x");
        SetFileAttributes(path, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
        Path host = Machine.host(path);
        byte[] blob = (byte[]) Files.getAttribute(host, "user:DOSATTRIB");
        assertTrue(new String(blob, 0, 5, "US-ASCII").startsWith("0x24"), "hex text first");
    }

    @Test
    void diskSpaceOfAnExistingPathAndMinusOneOtherwise() throws Exception {
        String dir = Machine.freshDirectory("space");
        long free = getFreeDiskSpace(dir);
        long total = getTotalDiskSpace("C:\\");
        assertTrue(free > 0 && total >= free, free + " of " + total);
        assertEquals(Files.getFileStore(Machine.host(dir)).getTotalSpace(), getTotalDiskSpace(dir));
        assertEquals(-1, getFreeDiskSpace(dir + "\\missing\\deeper"));
        assertEquals(-1, getTotalDiskSpace("Q:\\"));
    }

    @Test
    void longPathsGetThePrefixAndWork() throws Exception {
        String dir = Machine.freshDirectory("long");
        StringBuilder path = new StringBuilder(dir);
        while (path.length() < 300) {
            path.append("\\").append("d".repeat(40));
        }
        Files.createDirectories(Machine.host(path.toString()));
        String file = path + "\\file.txt";
        assertTrue(file.length() >= 260);
        long handle = CreateFile(file, GENERIC_WRITE, 0, 0, CREATE_NEW, 0, 0);
        CloseHandle(handle);
        assertEquals(FILE_ATTRIBUTE_ARCHIVE, GetFileAttributes(file));
        assertEquals(FILE_ATTRIBUTE_ARCHIVE, GetFileAttributes("\\\\?\\" + file));
        assertTrue(Files.exists(Machine.host(file)));
        assertTrue(getFreeDiskSpace(path.toString()) > 0);
    }

    @Test
    void pathsOf259And260UnitsBothReachTheirFile() throws Exception {
        // Windows refuses an unprefixed path of 260 units; the natives prefix it from there on.
        String dir = Machine.freshDirectory("edge");
        for (int length : new int[] {259, 260}) {
            String path = dir + "\\" + "f".repeat(length - dir.length() - 1);
            assertEquals(length, path.length());
            Files.writeString(Machine.host(path), "x");
            assertEquals(FILE_ATTRIBUTE_ARCHIVE, GetFileAttributes(path), "length " + length);
            CloseHandle(CreateFile(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0));
            Files.delete(Machine.host(path));
        }
    }

    @Test
    void privilegesAreEnabledAndUnknownNamesRaiseTheLookupFailure() throws Exception {
        setPrivilege("SeBackupPrivilege", true);
        setPrivilege("SeBackupPrivilege", false);
        setPrivilege("sesecurityprivilege", true);
        Exception unknown = assertThrows(Exception.class, () -> setPrivilege("SeNoSuchPrivilege", true));
        assertEquals(Exception.class, unknown.getClass());
        assertEquals("A specified privilege does not exist.", unknown.getMessage());
        // A privilege the token does not hold is not reported.
        setPrivilege("SeTcbPrivilege", true);
    }

    @Test
    void streamClassNativesAreInert() {
        BackupInputStream.init();
        BackupOutputStream.init();
        assertEquals(0, BackupInputStream.readOne(7));
        BackupInputStream.readMore(7, new byte[4], 0, 4);
        BackupInputStream.readMore(0, null, -1, -1);
    }
}
