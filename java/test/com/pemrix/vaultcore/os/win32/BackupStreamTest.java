package com.pemrix.vaultcore.os.win32;

import static com.pemrix.vaultcore.os.win32.BackupApi.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.StreamRecord;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.List;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** BackupRead and BackupWrite: the stream records, read sizes, context and abort, bad arguments. */
class BackupStreamTest {
    private static final int READ_ACCESS = GENERIC_READ | READ_CONTROL;
    private static final int WRITE_ACCESS = GENERIC_WRITE | GENERIC_READ | WRITE_DAC | WRITE_OWNER;

    @BeforeAll
    static void init() {
        BackupApi.init();
    }

    static long open(String path) throws IOException {
        return CreateFile(path, READ_ACCESS, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, 0);
    }

    /** Reads a whole backup stream in reads of chunk bytes, then aborts. */
    static byte[] readAll(String path, int chunk, boolean security) throws IOException {
        long handle = open(path);
        int[] context = new int[2];
        byte[] buffer = new byte[chunk + 8];
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        int n;
        while ((n = BackupRead(context, handle, buffer, 8, chunk, false, security)) > 0) {
            out.write(buffer, 8, n);
        }
        assertEquals(0, n);
        BackupRead(context, handle, buffer, 0, 0, true, security);
        return out.toByteArray();
    }

    static void writeAll(String path, byte[] stream, int chunk, boolean security) throws IOException {
        long handle = CreateFile(path, WRITE_ACCESS, 0, 0, CREATE_ALWAYS, FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        try {
            for (int at = 0; at < stream.length; at += chunk) {
                int n = Math.min(chunk, stream.length - at);
                assertEquals(n, BackupWrite(context, handle, stream, at, n, false, security));
            }
        } finally {
            BackupWrite(context, handle, stream, 0, 0, true, security);
        }
    }

    private static String withData(String name, String contents) throws IOException {
        String path = Machine.freshDirectory("stream") + "\\" + name;
        Files.writeString(Machine.host(path), contents);
        return path;
    }

    @Test
    void readGivesTheDataRecordAndEndsWithZero() throws Exception {
        String path = withData("d.txt", "hello backup");
        List<StreamRecord> records = StreamRecord.parse(readAll(path, 4096, false));
        assertEquals(1, records.size());
        StreamRecord data = records.get(0);
        assertEquals(BACKUP_DATA, data.id);
        assertEquals("", data.name);
        assertEquals("hello backup", new String(data.data, StandardCharsets.US_ASCII));
    }

    @Test
    void anyReadSizeDownToOneByteGivesTheSameStream() throws Exception {
        String path = withData("sizes.txt", "x".repeat(1000));
        byte[] whole = readAll(path, 1 << 16, true);
        assertEquals(BACKUP_SECURITY_DATA, StreamRecord.parse(whole).get(0).id);
        for (int chunk : new int[] {1, 3, 19, 20, 21, 997}) {
            assertArrayEquals(whole, readAll(path, chunk, true), "chunk " + chunk);
        }
    }

    @Test
    void namedStreamsRoundTripThroughWrite() throws Exception {
        String path = withData("named.txt", "");
        byte[] big = new byte[1 << 20];
        for (int i = 0; i < big.length; i++) {
            big[i] = (byte) (i * 31 + 7);
        }
        List<StreamRecord> written = List.of(
                new StreamRecord(BACKUP_DATA, 0, "", "main".getBytes(StandardCharsets.US_ASCII)),
                new StreamRecord(BACKUP_ALTERNATE_DATA, 0, ":big:$DATA", big),
                new StreamRecord(BACKUP_ALTERNATE_DATA, 0, ":small:$DATA", "tiny".getBytes(StandardCharsets.US_ASCII)));
        writeAll(path, StreamRecord.encodeAll(written), 7777, false);
        assertEquals(written, StreamRecord.parse(readAll(path, 65536, false)));
        assertArrayEquals("tiny\0".getBytes(StandardCharsets.US_ASCII),
                (byte[]) Files.getAttribute(Machine.host(path), "user:DosStream.small:$DATA"));
    }

    @Test
    void abortClosesTheHandleEvenAfterTheEnd() throws Exception {
        String path = withData("abort.txt", "abc");
        long handle = open(path);
        int[] context = new int[2];
        byte[] buffer = new byte[100];
        assertTrue(BackupRead(context, handle, buffer, 0, 100, false, false) > 0);
        assertEquals(0, BackupRead(context, handle, buffer, 0, 100, false, false));
        assertEquals(0, BackupRead(context, handle, buffer, 0, 100, true, false));
        IOException closed = assertThrows(IOException.class, () -> CloseHandle(handle));
        assertEquals("The handle is invalid.", closed.getMessage());
    }

    @Test
    void abortOfAFailedSequenceStillClosesTheHandle() throws Exception {
        String path = withData("failing.txt", "abc");
        long handle = CreateFile(path, GENERIC_WRITE | GENERIC_READ, 0, 0, OPEN_EXISTING, 0, 0);
        int[] context = new int[2];
        byte[] bogus = new StreamRecord(99, 0, "", new byte[4]).encode();
        IOException rejected = assertThrows(IOException.class,
                () -> BackupWrite(context, handle, bogus, 0, bogus.length, false, false));
        assertEquals("The data is invalid.", rejected.getMessage());
        BackupWrite(context, handle, bogus, 0, 0, true, false);
        assertThrows(IOException.class, () -> CloseHandle(handle));
    }

    @Test
    void abortWithACorruptContextFailsAndStillClosesTheHandle() throws Exception {
        String path = withData("corrupt-abort.txt", "abc");
        long handle = open(path);
        int[] corrupt = {0x1234, 0x7f};
        IOException refused = assertThrows(IOException.class,
                () -> BackupRead(corrupt, handle, new byte[1], 0, 0, true, false));
        assertEquals("The parameter is incorrect.", refused.getMessage());
        assertThrows(IOException.class, () -> CloseHandle(handle));
    }

    @Test
    void closingTheHandleMidSequenceReleasesTheFile() throws Exception {
        String path = withData("closed.txt", "x".repeat(5000));
        long handle = open(path);
        int[] context = new int[2];
        byte[] buffer = new byte[100];
        assertEquals(100, BackupRead(context, handle, buffer, 0, 100, false, false));
        CloseHandle(handle);
        // The file is closed, as on Windows: an open that shares nothing succeeds ...
        long exclusive = CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0, 0);
        // ... and the old sequence does not carry on against another handle.
        IOException stale = assertThrows(IOException.class,
                () -> BackupRead(context, exclusive, buffer, 0, 100, false, false));
        assertEquals("The parameter is incorrect.", stale.getMessage());
        int[] unused = new int[2];
        BackupRead(unused, exclusive, buffer, 0, 0, true, false);
        // Aborting the old sequence frees its context.
        long again = open(path);
        BackupRead(context, again, buffer, 0, 0, true, false);
    }

    @Test
    void nullArgumentsRaiseNullPointerExceptionEvenForAbort() throws Exception {
        String path = withData("nulls.txt", "abc");
        long handle = open(path);
        int[] context = new int[2];
        byte[] buffer = new byte[8];
        for (boolean abort : new boolean[] {false, true}) {
            assertEquals("", assertThrows(NullPointerException.class,
                    () -> BackupRead(context, handle, null, 0, 8, abort, false)).getMessage());
            assertThrows(NullPointerException.class, () -> BackupRead(null, handle, buffer, 0, 8, abort, false));
            assertThrows(NullPointerException.class, () -> BackupRead(context, 0, buffer, 0, 8, abort, false));
            assertThrows(NullPointerException.class, () -> BackupWrite(context, handle, null, 0, 8, abort, false));
        }
        CloseHandle(handle);
    }

    @Test
    void regionsOutsideTheArrayAreRefusedBeforeAnyTransfer() throws Exception {
        String path = withData("bounds.txt", "0123456789");
        long handle = open(path);
        int[] context = new int[2];
        byte[] buffer = new byte[16];
        int[][] bad = {{-1, 4}, {0, -1}, {0, 17}, {10, 7}, {17, 0}, {Integer.MAX_VALUE, 2}};
        for (int[] region : bad) {
            assertThrows(ArrayIndexOutOfBoundsException.class,
                    () -> BackupRead(context, handle, buffer, region[0], region[1], false, false),
                    region[0] + "," + region[1]);
            assertThrows(ArrayIndexOutOfBoundsException.class,
                    () -> BackupWrite(context, handle, buffer, region[0], region[1], false, false));
        }
        assertThrows(ArrayIndexOutOfBoundsException.class,
                () -> BackupRead(new int[1], handle, buffer, 0, 16, false, false));
        assertArrayEquals(new int[2], context, "nothing started");
        // The sequence still works from the start afterwards.
        assertEquals(16, BackupRead(context, handle, buffer, 0, 16, false, false));
        assertEquals(14, BackupRead(context, handle, buffer, 0, 16, false, false));
        BackupRead(context, handle, buffer, 0, 0, true, false);
    }

    @Test
    void corruptContextIsRefused() throws Exception {
        String path = withData("context.txt", "abc");
        long handle = open(path);
        int[] context = {0x12345678, 0x7f};
        IOException refused = assertThrows(IOException.class,
                () -> BackupRead(context, handle, new byte[8], 0, 8, false, false));
        assertEquals("The parameter is incorrect.", refused.getMessage());
        CloseHandle(handle);
    }

    @Test
    void writeRejectsInvalidSecurityAndBadStreamNames() throws Exception {
        String path = withData("invalid.txt", "abc");
        byte[] badSecurity = new StreamRecord(BACKUP_SECURITY_DATA, 2, "", new byte[] {1, 0, 4, (byte) 0x80}).encode();
        assertEquals("The security descriptor structure is invalid.",
                assertThrows(IOException.class, () -> writeAll(path, badSecurity, 100, true)).getMessage());
        byte[] badName = new StreamRecord(BACKUP_ALTERNATE_DATA, 0, ":a/b:$DATA", new byte[1]).encode();
        assertEquals("The filename, directory name, or volume label syntax is incorrect.",
                assertThrows(IOException.class, () -> writeAll(path, badName, 100, false)).getMessage());
    }

    @Test
    void streamClassesReadAndRestoreAFile() throws Exception {
        String source = withData("source.txt", "through the stream classes");
        ByteArrayOutputStream copy = new ByteArrayOutputStream();
        try (BackupInputStream in = new BackupInputStream(source, true)) {
            in.transferTo(copy);
        }
        String target = Machine.freshDirectory("target") + "\\restored.txt";
        try (BackupOutputStream out = new BackupOutputStream(target, false, true)) {
            out.write(copy.toByteArray());
        }
        assertEquals("through the stream classes", Files.readString(Machine.host(target)));
    }
}
