package com.pemrix.vss;

import static com.pemrix.vaultcore.os.win32.BackupApi.*;
import static com.pemrix.vss.VssTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.demo.TreeBackup;
import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * A component backed up from a snapshot, found again in the saved backup document, and restored
 * through the writers' restore phases.
 */
class BackupThenRestoreTest {
    @BeforeAll
    static void init() throws Exception {
        VSSFactory.init();
        BackupApi.init();
        TreeBackup.enableBackupPrivileges();
        declareLedgerWriter();
    }

    private static byte[] readStream(String path) throws Exception {
        long handle = CreateFile(path, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, 0, OPEN_EXISTING,
                FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        byte[] buffer = new byte[65536];
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

    private static void writeStream(String path, byte[] stream) throws Exception {
        long handle = CreateFile(path, GENERIC_WRITE | GENERIC_READ | WRITE_DAC | WRITE_OWNER, 0, 0, CREATE_ALWAYS,
                FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        try {
            BackupWrite(context, handle, stream, 0, stream.length, false, true);
        } finally {
            BackupWrite(context, handle, stream, 0, 0, true, true);
        }
    }

    /** The files of a component's first set of files, read from the snapshot. */
    private static Map<String, byte[]> backUpComponent(long h, String device) throws Exception {
        Map<String, byte[]> archive = new LinkedHashMap<>();
        long metadata = BackupComponents.getWriterMetadata(h, 0).handle();
        long component = WriterMetaData.getComponent(metadata, 0).handle();
        long file = WMComponent.getFile(component, 0).handle();
        String directory = FileDescriptor.getPath(file);
        String pattern = FileDescriptor.getSpec(file);
        assertEquals("C:\\Windows\\Ledger", directory);
        Path frozen = Paths.get(MachineTool.run("path", device + directory.substring(2)).trim());
        try (Stream<Path> files = Files.list(frozen)) {
            for (Path found : (Iterable<Path>) files.sorted()::iterator) {
                String name = found.getFileName().toString();
                if (name.endsWith(pattern.substring(1))) {
                    archive.put(directory + "\\" + name, readStream(device + directory.substring(2) + "\\" + name));
                }
            }
        }
        VSSFactory.delete_CUnknown(file);
        VSSFactory.delete_CUnknown(component);
        VSSFactory.delete_CUnknown(metadata);
        return archive;
    }

    @Test
    void aBackedUpComponentIsRestoredThroughTheWriters() throws Exception {
        Path ledger = Machine.host("C:\\Windows\\Ledger");
        Files.createDirectories(ledger);
        Files.writeString(ledger.resolve("january.dat"), "balance 100");
        Files.writeString(ledger.resolve("february.dat"), "balance 250");
        Files.writeString(ledger.resolve("notes.txt"), "not part of the component");
        byte[] instance = guid(INSTANCE_ID);
        byte[] writer = guid(WRITER_ID);

        String document;
        Map<String, byte[]> archive;
        try (Requester backup = new Requester()) {
            long h = backup.h;
            String device = BackupComponents.getSnapshotDevice(snapshotOfC(h), h);
            Files.writeString(ledger.resolve("january.dat"), "balance -5 after the snapshot");
            archive = backUpComponent(h, device);
            BackupComponents.SetBackupSucceeded(h, instance, writer, BackupComponents.VSS_CT_FILEGROUP, "App", "Data",
                    true);
            BackupComponents.backupComplete(h);
            document = BackupComponents.SaveAsXml(h);
        }
        assertEquals(2, archive.size());

        Files.writeString(ledger.resolve("january.dat"), "lost");
        Files.delete(ledger.resolve("february.dat"));

        try (Requester restore = new Requester()) {
            long h = restore.h;
            BackupComponents.LoadFromXML(h, document);
            BackupComponents.gatherWriterMetadata(h);
            assertEquals(1, BackupComponents.GetWriterComponentsCount(h));
            long components = BackupComponents.GetWriterComponents(h, 0).handle();
            assertArrayEquals(writer, WriterComponents.GetWriterId(components));
            assertEquals(1, WriterComponents.GetComponentCount(components));
            long component = WriterComponents.GetComponent(components, 0).handle();
            assertEquals("Data", Component.GetComponentName(component));
            assertEquals("App", Component.GetLogicalPath(component));
            assertEquals(BackupComponents.VSS_CT_FILEGROUP, Component.GetComponentType(component));
            assertFalse(Component.IsSelectedForRestore(component));

            expectVss("VSS in bad state", () -> BackupComponents.PostRestore(h));
            expectVss("VSS in bad state", () -> BackupComponents.SetFileRestoreStatus(h, writer,
                    BackupComponents.VSS_CT_FILEGROUP, "App", "Data", BackupComponents.VSS_RS_ALL));
            BackupComponents.SetSelectedForRestore(h, writer, BackupComponents.VSS_CT_FILEGROUP, "App", "Data", true);
            assertTrue(Component.IsSelectedForRestore(component));
            assertEquals(Component.VSS_RT_ORIGINAL, Component.GetRestoreTarget(component));
            BackupComponents.PreRestore(h);
            expectVss("VSS in bad state", () -> BackupComponents.SetSelectedForRestore(h, writer,
                    BackupComponents.VSS_CT_FILEGROUP, "App", "Data", false));
            assertNull(Component.GetPreRestoreFailureMsg(component));

            for (Map.Entry<String, byte[]> entry : archive.entrySet()) {
                writeStream(entry.getKey(), entry.getValue());
            }
            BackupComponents.SetFileRestoreStatus(h, writer, BackupComponents.VSS_CT_FILEGROUP, "App", "Data",
                    BackupComponents.VSS_RS_ALL);
            BackupComponents.PostRestore(h);
            expectVss("VSS in bad state", () -> BackupComponents.PostRestore(h));
            assertTrue(BackupComponents.SaveAsXml(h).contains("fileRestoreStatus=\"2\""));
            VSSFactory.delete_CUnknown(component);
            VSSFactory.delete_CUnknown(components);
        }
        assertEquals("balance 100", Files.readString(ledger.resolve("january.dat"), StandardCharsets.UTF_8));
        assertEquals("balance 250", Files.readString(ledger.resolve("february.dat"), StandardCharsets.UTF_8));
        assertEquals(0, aliveObjects());
        assertTrue(Arrays.stream(ledger.toFile().list()).anyMatch("notes.txt"::equals));
    }
}
