package com.pemrix.vaultcore.os.win32;

import static com.pemrix.vaultcore.os.win32.BackupApi.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import com.pemrix.testsupport.RawTransfer;
import java.io.IOException;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The raw natives' pieces, stops, refusals and faulty callbacks, on one machine. */
class EncryptedRawTest {
    private static final int ERROR_INVALID_PARAMETER = 87;
    private static final int ERROR_OPERATION_ABORTED = 995;
    private static final int ERROR_HANDLE_EOF = 38;
    private static final int ERROR_CRC = 23;
    private static final int ERROR_NOT_EXPORT_FORMAT = 6008;

    @BeforeAll
    static void init() {
        BackupApi.init();
    }

    @AfterEach
    void settings() throws Exception {
        MachineTool.set("efs.raw.piece", "");
        setPrivilege("SeBackupPrivilege", false);
        setPrivilege("SeRestorePrivilege", false);
    }

    /** An encrypted file of the given size in a fresh directory. */
    private static String encrypted(String name, int size) throws Exception {
        String path = Machine.freshDirectory(name) + "\\" + name + ".bin";
        byte[] data = new byte[size];
        for (int i = 0; i < size; i++) {
            data[i] = (byte) i;
        }
        Files.write(Machine.host(path), data);
        MachineTool.run("efs", "encrypt", path);
        return path;
    }

    /** Calls nextBlock-style behaviour given as a lambda, counting the calls. */
    interface Block {
        int next(byte[] buffer, int count);
    }

    public static final class Callback {
        final Block block;
        final List<Integer> counts = new ArrayList<>();

        Callback(Block block) {
            this.block = block;
        }

        public int nextBlock(byte[] buffer, int count) {
            counts.add(count);
            return block.next(buffer, count);
        }
    }

    @Test
    void eachPieceReachesJavaInCallsOfAtMostTheArraysLength() throws Exception {
        String path = encrypted("pieces", 50_000);
        MachineTool.set("efs.raw.piece", "10000");
        RawTransfer.Collector collector = new RawTransfer.Collector();
        long context = OpenEncryptedFileRaw(path, 0);
        assertEquals(0, ReadEncryptedFileRaw(collector, context, new byte[4096]));
        CloseEncryptedFileRaw(context);
        assertEquals(List.of(4096, 4096, 1808, 4096, 4096, 1808), collector.counts.subList(0, 6));
        // The same raw form whatever the pieces and the array.
        MachineTool.set("efs.raw.piece", "");
        assertArrayEquals(collector.data.toByteArray(), RawTransfer.export(path, 0, 65536));
    }

    @Test
    void javaStopsAnExportWithANonZeroResult() throws Exception {
        String path = encrypted("stop", 200_000);
        Callback stop = new Callback((buffer, count) -> 5);
        long context = OpenEncryptedFileRaw(path, 0);
        assertEquals(5, ReadEncryptedFileRaw(stop, context, new byte[4096]));
        CloseEncryptedFileRaw(context);
        assertEquals(1, stop.counts.size());
    }

    @Test
    void incompleteDamagedOrForeignImportsAreRefusedAndLeaveNoFile() throws Exception {
        String source = encrypted("source", 70_000);
        byte[] raw = RawTransfer.export(source, 0, 8192);
        String dir = Machine.freshDirectory("imports");
        setPrivilege("SeRestorePrivilege", true);

        String target = dir + "\\target.bin";
        Callback empty = new Callback((buffer, count) -> -1);
        long context = OpenEncryptedFileRaw(target, CREATE_FOR_IMPORT);
        assertEquals(ERROR_NOT_EXPORT_FORMAT, WriteEncryptedFileRaw(empty, context, new byte[4096]));
        CloseEncryptedFileRaw(context);
        assertEquals(1, empty.counts.size());

        byte[] truncated = java.util.Arrays.copyOf(raw, raw.length - 10);
        assertEquals(ERROR_HANDLE_EOF, RawTransfer.importRaw(target, 0, truncated, 4096));
        byte[] damaged = raw.clone();
        damaged[raw.length / 2] ^= 0x40;
        assertEquals(ERROR_CRC, RawTransfer.importRaw(target, 0, damaged, 4096));
        for (String text : new String[] {"PK\3\4 not an export at all", "PK"}) {
            assertEquals(ERROR_NOT_EXPORT_FORMAT, RawTransfer.importRaw(target, 0, text.getBytes(), 4096));
        }
        try (var entries = Files.list(Machine.host(dir))) {
            assertEquals(0, entries.count(), "no file, complete-looking or temporary, is left");
        }

        // An existing file is replaced only by a complete import.
        Files.writeString(Machine.host(target), "previous");
        assertEquals(ERROR_CRC, RawTransfer.importRaw(target, 0, damaged, 4096));
        assertEquals("previous", Files.readString(Machine.host(target)));
        assertEquals(0, RawTransfer.importRaw(target, 0, raw, 777));
        assertArrayEquals(raw, RawTransfer.export(target, 0, 4096));
    }

    @Test
    void faultyCallbacksStopTheTransferWithoutHarm() throws Exception {
        String path = encrypted("faulty", 100_000);
        byte[] raw = RawTransfer.export(path, 0, 4096);
        String target = Machine.freshDirectory("faulty-import") + "\\copy.bin";
        setPrivilege("SeRestorePrivilege", true);

        // More than the room offered, or more than the array holds.
        for (Block overrun : new Block[] {(buffer, room) -> room + 1, (buffer, room) -> buffer.length + 1}) {
            long context = OpenEncryptedFileRaw(target, CREATE_FOR_IMPORT);
            assertEquals(ERROR_INVALID_PARAMETER, WriteEncryptedFileRaw(new Callback(overrun), context, new byte[100]));
            CloseEncryptedFileRaw(context);
        }

        // A Java exception ends either direction at once and reaches the caller.
        Callback throwingExport = new Callback((buffer, count) -> {
            throw new IllegalStateException("disk full in Java");
        });
        long exportContext = OpenEncryptedFileRaw(path, 0);
        IllegalStateException thrown = assertThrows(IllegalStateException.class,
                () -> ReadEncryptedFileRaw(throwingExport, exportContext, new byte[4096]));
        assertEquals("disk full in Java", thrown.getMessage());
        assertEquals(1, throwingExport.counts.size());
        Callback throwingImport = new Callback((buffer, room) -> {
            throw new IllegalStateException("archive unreadable");
        });
        long importContext = OpenEncryptedFileRaw(target, CREATE_FOR_IMPORT);
        assertThrows(IllegalStateException.class, () -> WriteEncryptedFileRaw(throwingImport, importContext, new byte[4096]));
        assertEquals(1, throwingImport.counts.size());

        // An empty array could carry nothing: refused before Windows is asked.
        Callback never = new Callback((buffer, count) -> 0);
        assertEquals(ERROR_INVALID_PARAMETER, ReadEncryptedFileRaw(never, exportContext, new byte[0]));
        assertEquals(ERROR_INVALID_PARAMETER, WriteEncryptedFileRaw(never, importContext, new byte[0]));
        assertTrue(never.counts.isEmpty());

        assertThrows(NullPointerException.class, () -> ReadEncryptedFileRaw(null, exportContext, new byte[10]));
        assertThrows(NullPointerException.class, () -> ReadEncryptedFileRaw(never, exportContext, null));
        assertThrows(NullPointerException.class, () -> WriteEncryptedFileRaw(null, importContext, new byte[10]));
        // A callback without nextBlock leaves the virtual machine's error pending.
        assertThrows(NoSuchMethodError.class, () -> ReadEncryptedFileRaw(new Object(), exportContext, new byte[10]));

        CloseEncryptedFileRaw(exportContext);
        CloseEncryptedFileRaw(importContext);
        assertFalse(Files.exists(Machine.host(target)));
        assertEquals(0, RawTransfer.importRaw(target, 0, raw, 4096), "the contexts were left usable");
    }

    @Test
    void staleZeroAndForeignContextsAreRefused() throws Exception {
        String path = encrypted("stale", 10);
        RawTransfer.Collector collector = new RawTransfer.Collector();
        long context = OpenEncryptedFileRaw(path, 0);
        CloseEncryptedFileRaw(context);
        CloseEncryptedFileRaw(context);
        CloseEncryptedFileRaw(0);
        for (long stale : new long[] {context, 0, 0x7654321L, context + 8}) {
            assertEquals(ERROR_INVALID_PARAMETER, ReadEncryptedFileRaw(collector, stale, new byte[64]));
            assertEquals(ERROR_INVALID_PARAMETER, WriteEncryptedFileRaw(collector, stale, new byte[64]));
        }
        assertTrue(collector.counts.isEmpty());
    }

    @Test
    void openFollowsTheAccessRulesOfWindows() throws Exception {
        String dir = Machine.freshDirectory("rules");
        assertEquals("The system cannot find the file specified.",
                assertThrows(IOException.class, () -> OpenEncryptedFileRaw(dir + "\\none", 0)).getMessage());
        Files.writeString(Machine.host(dir + "\\plain.txt"), "plain");
        assertEquals("The specified file is not encrypted.",
                assertThrows(IOException.class, () -> OpenEncryptedFileRaw(dir + "\\plain.txt", 0)).getMessage());
        String folder = dir + "\\folder";
        Files.createDirectory(Machine.host(folder));
        MachineTool.run("efs", "encrypt", folder);
        assertEquals("Access is denied.",
                assertThrows(IOException.class, () -> OpenEncryptedFileRaw(folder, 0)).getMessage());
        CloseEncryptedFileRaw(OpenEncryptedFileRaw(folder, CREATE_FOR_DIR));

        // Encrypted contents are not handed out as plain data: not in a backup stream, not to a
        // handle that may write them.
        String mine = encrypted("mine", 100);
        long reader = CreateFile(mine, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, 0);
        try {
            int[] context = new int[2];
            assertEquals("Access is denied.", assertThrows(IOException.class,
                    () -> BackupRead(context, reader, new byte[4096], 0, 4096, false, true)).getMessage());
        } finally {
            CloseHandle(reader);
        }
        assertEquals("Access is denied.", assertThrows(IOException.class,
                () -> CreateFile(mine, GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0, 0)).getMessage());

        // A file of another user: exported only with the backup privilege, replaced only with
        // the restore privilege.
        String theirs = Machine.freshDirectory("theirs") + "\\theirs.bin";
        Files.writeString(Machine.host(theirs), "someone else's");
        MachineTool.run("efs", "encrypt", theirs, "--user", "S-1-5-21-1004336348-1177238915-682003330-1001");
        assertEquals("Access is denied.", assertThrows(IOException.class, () -> OpenEncryptedFileRaw(theirs, 0)).getMessage());
        assertEquals("Access is denied.",
                assertThrows(IOException.class, () -> OpenEncryptedFileRaw(theirs, CREATE_FOR_IMPORT)).getMessage());
        setPrivilege("SeBackupPrivilege", true);
        byte[] raw = RawTransfer.export(theirs, 0, 4096);
        setPrivilege("SeRestorePrivilege", true);
        assertEquals(0, RawTransfer.importRaw(theirs, 0, raw, 4096));

        // A hidden target is overwritten only when asked to.
        SetFileAttributes(mine, FILE_ATTRIBUTE_HIDDEN);
        byte[] mineRaw = RawTransfer.export(mine, 0, 4096);
        assertEquals("Access is denied.",
                assertThrows(IOException.class, () -> OpenEncryptedFileRaw(mine, CREATE_FOR_IMPORT)).getMessage());
        assertEquals(0, RawTransfer.importRaw(mine, OVERWRITE_HIDDEN, mineRaw, 4096));
        assertEquals(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ENCRYPTED, GetFileAttributes(mine));

        assertThrows(NullPointerException.class, () -> OpenEncryptedFileRaw(null, 0));
    }
}
