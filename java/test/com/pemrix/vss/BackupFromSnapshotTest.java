package com.pemrix.vss;

import static com.pemrix.vaultcore.os.win32.BackupApi.*;
import static com.pemrix.vss.VssTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.demo.TreeBackup;
import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import com.pemrix.testsupport.StreamRecord;
import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * The backup of one volume as the application runs it: a snapshot of C: is taken through the
 * bridge, and its files are read with the file backup natives while the live files change.
 */
class BackupFromSnapshotTest {
    @BeforeAll
    static void init() throws Exception {
        VSSFactory.init();
        BackupApi.init();
        TreeBackup.enableBackupPrivileges();
        declareLedgerWriter();
    }

    private static byte[] random(int size, long seed) {
        byte[] data = new byte[size];
        new Random(seed).nextBytes(data);
        return data;
    }

    private static StreamRecord named(String name, byte[] data) {
        return new StreamRecord(BACKUP_ALTERNATE_DATA, 0, ":" + name + ":$DATA", data);
    }

    private static void write(String path, byte[] data, StreamRecord... streams) throws IOException {
        List<StreamRecord> records = new ArrayList<>();
        records.add(new StreamRecord(BACKUP_DATA, 0, "", data));
        records.addAll(List.of(streams));
        byte[] stream = StreamRecord.encodeAll(records);
        long handle = CreateFile(path, GENERIC_WRITE | GENERIC_READ | WRITE_DAC | WRITE_OWNER, 0, 0, CREATE_ALWAYS,
                FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        try {
            assertEquals(stream.length, BackupWrite(context, handle, stream, 0, stream.length, false, true));
        } finally {
            BackupWrite(context, handle, stream, 0, 0, true, true);
        }
    }

    /** A file's whole backup stream (security, data, named streams), read in 4 KB pieces. */
    private static byte[] read(String path) throws IOException {
        long handle = CreateFile(path, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, 0, OPEN_EXISTING,
                FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        byte[] buffer = new byte[4096];
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        try {
            int n;
            while ((n = BackupRead(context, handle, buffer, 0, buffer.length, false, true)) > 0) {
                out.write(buffer, 0, n);
            }
        } finally {
            BackupRead(context, handle, buffer, 0, 0, true, true);
        }
        return out.toByteArray();
    }

    @Test
    void filesAreReadFromTheFrozenVolumeWhileTheLiveOneChanges() throws Exception {
        String dir = Machine.freshDirectory("snapshot");
        write(dir + "\\ledger.dat", random(300_000, 1), named("summary", "first".getBytes(StandardCharsets.UTF_8)),
                named("index", random(200_000, 2)));
        write(dir + "\\keep.txt", "kept".getBytes(StandardCharsets.UTF_8));
        Files.createDirectories(Machine.host(dir + "\\sub"));
        write(dir + "\\sub\\nested.dat", random(5000, 3));
        SetFileAttributes(dir + "\\keep.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);

        Requester requester = new Requester();
        try {
            long h = requester.h;
            byte[] snapshotId = snapshotOfC(h);
            assertTrue(BackupComponents.isVolumeSupported("C:\\", h));
            assertEquals(16, snapshotId.length);
            String device = BackupComponents.getSnapshotDevice(snapshotId, h);
            assertTrue(device.matches("\\\\\\\\\\?\\\\GLOBALROOT\\\\Device\\\\HarddiskVolumeShadowCopy[0-9]+"), device);
            assertTrue(MachineTool.run("vss", "snapshots").contains(device));

            String frozen = device + dir.substring(2);
            byte[] ledgerAtSnapshot = read(dir + "\\ledger.dat");
            byte[] nestedAtSnapshot = read(dir + "\\sub\\nested.dat");

            // The live volume moves on.
            write(dir + "\\ledger.dat", random(1000, 4), named("summary", "second".getBytes(StandardCharsets.UTF_8)),
                    named("index", random(200_000, 5)));
            Files.delete(Machine.host(dir + "\\keep.txt"));
            write(dir + "\\new.txt", "new".getBytes(StandardCharsets.UTF_8));
            assertFalse(java.util.Arrays.equals(ledgerAtSnapshot, read(dir + "\\ledger.dat")));

            assertArrayEquals(ledgerAtSnapshot, read(frozen + "\\ledger.dat"));
            assertArrayEquals(nestedAtSnapshot, read(frozen + "\\sub\\nested.dat"));
            List<StreamRecord> kept = StreamRecord.parse(read(frozen + "\\keep.txt"));
            assertArrayEquals("kept".getBytes(StandardCharsets.UTF_8), kept.get(1).data);
            assertEquals(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, GetFileAttributes(frozen + "\\keep.txt"));
            assertEquals(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributes(frozen + "\\sub") & FILE_ATTRIBUTE_DIRECTORY);
            assertThrows(IOException.class, () -> read(frozen + "\\new.txt"));

            // Nothing changes a shadow copy.
            IOException refused = assertThrows(IOException.class, () -> CreateFile(frozen + "\\ledger.dat",
                    GENERIC_WRITE, 0, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, 0));
            assertEquals("The media is write protected.", refused.getMessage());
            assertThrows(IOException.class, () -> SetFileAttributes(frozen + "\\ledger.dat", FILE_ATTRIBUTE_READONLY));
            assertThrows(IOException.class, () -> write(frozen + "\\other.txt", new byte[1]));

            BackupComponents.SetBackupSucceeded(h, guid(INSTANCE_ID), guid(WRITER_ID),
                    BackupComponents.VSS_CT_FILEGROUP, "App", "Data", true);
            BackupComponents.backupComplete(h);
            String document = BackupComponents.SaveAsXml(h);
            assertTrue(document.contains("name=\"Data\""), document);
            assertTrue(document.contains("backupSucceeded=\"yes\""), document);
            requester.close();

            // The snapshot went with the requester object.
            assertThrows(IOException.class, () -> read(frozen + "\\ledger.dat"));
            assertEquals("", MachineTool.run("vss", "snapshots"));
        } finally {
            requester.close();
        }
    }
}
