package com.pemrix.demo.backup;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.pemrix.testsupport.EmulatedMachine;
import com.pemrix.testsupport.StreamRecord;
import com.pemrix.vaultcore.os.win32.BackupApi;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Random;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * What the backup client survives: a stop in the middle of a backup, files locked or changed while
 * it runs, a writer that fails the snapshot, and a damaged archive handed to a restore. Each runs
 * the client as a service on the test's machine, on a small tree; a rate limit stretches a backup
 * where a test must act while it runs.
 */
class BackupFaultsTest {
    static final String TREE = "C:\\Faults";
    static final String ARCHIVE = "C:\\Backups\\faults.zip";
    static final String EXCLUDE = "exclude=C:\\Windows\\System32;C:\\Program Files\\Java";
    static final EmulatedMachine machine = EmulatedMachine.current();

    @BeforeAll
    static void init() throws Exception {
        BackupApi.init();
        BackupApi.setPrivilege("SeBackupPrivilege", true);
        BackupApi.setPrivilege("SeRestorePrivilege", true);
        Random random = new Random(15);
        for (int i = 0; i < 6; i++) {
            byte[] data = new byte[512 << 10];
            random.nextBytes(data);
            Files.createDirectories(machine.host(TREE + "\\part" + i));
            Files.write(machine.host(TREE + "\\part" + i + "\\data.bin"), data);
        }
        machine.write(TREE + "\\locked.txt", "locked while the backup runs");
        machine.installClient(settings(ARCHIVE, 0));
    }

    @AfterAll
    static void stopTheService() {
        machine.stopService();
    }

    static String[] settings(String archive, double maxRate) {
        return new String[] {"archive=" + archive, "include=" + TREE, EXCLUDE, "max-rate=" + maxRate};
    }

    static String backUp(String archive, double maxRate) {
        machine.configureClient(settings(archive, maxRate));
        return machine.runJob("backup");
    }

    /** The data of a file as an archive holds it. */
    static byte[] archivedData(String archive, String path) throws Exception {
        try (ArchiveReader reader = ArchiveReader.open(machine.host(archive), archive)) {
            for (Manifest.Record file : reader.manifest().all(FilesPart.RECORD)) {
                if (file.get("path").equalsIgnoreCase(path)) {
                    for (StreamRecord record : StreamRecord.parse(reader.read(file.get("entry")))) {
                        if (record.id == StreamRecords.BACKUP_DATA) {
                            return record.data;
                        }
                    }
                    return new byte[0];
                }
            }
        }
        throw new AssertionError(path + " is not in " + archive);
    }

    @Test
    void aBackupStoppedMidwayEndsPromptlyAndLeavesThePreviousArchiveAsItWas() throws Exception {
        String archive = "C:\\Backups\\stopped.zip";
        assertTrue(backUp(archive, 0).startsWith("succeeded backup"), machine.clientLog());
        byte[] previous = Files.readAllBytes(machine.host(archive));

        // At half a MiB per second the 3 MiB tree takes six seconds; the stop comes after the first.
        machine.configureClient(settings(archive, 0.5));
        machine.startJob("backup");
        machine.awaitLog("progress: ", Duration.ofSeconds(60));
        Duration stopping = machine.stopService();

        assertTrue(stopping.compareTo(Duration.ofSeconds(10)) < 0, "the stop took " + stopping);
        assertEquals("cancelled backup", machine.clientStatus(), machine.clientLog());
        assertEquals("", machine.snapshots(), "the snapshot outlives the stopped backup");
        assertArrayEquals(previous, Files.readAllBytes(machine.host(archive)));
        assertFalse(machine.exists(archive + ".partial"));

        assertTrue(backUp(archive, 0).startsWith("succeeded backup"), machine.clientLog());
        assertFalse(java.util.Arrays.equals(previous, Files.readAllBytes(machine.host(archive))));
    }

    @Test
    void lockedAndChangingFilesAreBackedUpAsTheSnapshotHasThem() throws Exception {
        String archive = "C:\\Backups\\live.zip";
        machine.write(TREE + "\\zz\\changed.txt", "as it was at the snapshot");
        long locked = BackupApi.CreateFile(TREE + "\\locked.txt", BackupApi.GENERIC_READ | BackupApi.GENERIC_WRITE, 0,
                0, BackupApi.OPEN_EXISTING, 0, 0);
        try {
            machine.configureClient(settings(archive, 1));
            machine.startJob("backup");
            machine.awaitLog("snapshot of C:\\ ready", Duration.ofSeconds(60));
            Files.writeString(machine.host(TREE + "\\zz\\changed.txt"), "changed after the snapshot");
            String status = machine.awaitJob(Duration.ofSeconds(60));
            assertTrue(status.startsWith("succeeded backup"), status + "\n" + machine.clientLog());
        } finally {
            BackupApi.CloseHandle(locked);
        }
        assertEquals("locked while the backup runs",
                new String(archivedData(archive, TREE + "\\locked.txt"), StandardCharsets.UTF_8));
        assertEquals("as it was at the snapshot",
                new String(archivedData(archive, TREE + "\\zz\\changed.txt"), StandardCharsets.UTF_8));
    }

    @Test
    void aWriterThatFailsTheSnapshotFailsTheBackupCleanly() throws Exception {
        String archive = "C:\\Backups\\writer.zip";
        Path writer = Files.createTempFile("failing-writer", ".xml");
        Files.writeString(writer, "<WriterMetadata name=\"Failing Writer\""
                + " writerId=\"{6a1d0c3e-2b4f-4e8a-9c7d-5f3e1a2b4c6d}\""
                + " instanceId=\"{0e9d8c7b-6a5f-4e3d-2c1b-0a9f8e7d6c5b}\""
                + " usage=\"3\" source=\"2\">\n"
                + "  <Component name=\"Parts\" type=\"2\"><File path=\"C:\\Faults\" filespec=\"*\" recursive=\"yes\"/>"
                + "</Component>\n"
                + "  <Status state=\"9\" failure=\"0x800423F4\" after=\"DoSnapshotSet\"/>\n"
                + "</WriterMetadata>\n");
        machine.tool("vss", "writer", "add", writer.toString());
        try {
            String status = backUp(archive, 0);
            assertEquals("failed backup: writer Failing Writer failed while taking the snapshot"
                    + " (state failed at freeze, failure 5)", status, machine.clientLog());
        } finally {
            machine.tool("vss", "writer", "remove", "Failing Writer");
            Files.delete(writer);
        }
        assertEquals("", machine.snapshots());
        assertFalse(machine.exists(archive));
        assertFalse(machine.exists(archive + ".partial"));
    }

    @Test
    void aDamagedArchiveIsRefusedWholeAndTheMachineStaysAsItIs() throws Exception {
        String archive = "C:\\Backups\\damaged.zip";
        String file = TREE + "\\part3\\data.bin";
        assertTrue(backUp(archive, 0).startsWith("succeeded backup"), machine.clientLog());
        byte[] changed = "changed after the backup".getBytes(StandardCharsets.UTF_8);
        Files.write(machine.host(file), changed);

        Path zip = machine.host(archive);
        byte[] bytes = Files.readAllBytes(zip);
        bytes[bytes.length / 2] ^= 0x40;
        Files.write(zip, bytes);
        machine.configureClient(settings(archive, 0));
        String status = machine.runJob("restore");
        assertTrue(status.matches("failed restore: the archive C:\\\\Backups\\\\damaged.zip is damaged: its entry"
                + " files/\\d+ does not match its checksum; nothing was changed"), status);
        assertArrayEquals(changed, Files.readAllBytes(machine.host(file)));

        Files.write(zip, java.util.Arrays.copyOf(bytes, bytes.length - 100));
        status = machine.runJob("restore");
        assertTrue(status.startsWith("failed restore: the archive C:\\Backups\\damaged.zip is damaged or incomplete"),
                status);
        assertArrayEquals(changed, Files.readAllBytes(machine.host(file)));
    }

    @Test
    void aComponentThatItsWriterRefusesToRestoreIsLeftAsItIsAndTheRestRestored() throws Exception {
        String archive = "C:\\Backups\\refused.zip";
        Path writer = Files.createTempFile("refusing-writer", ".xml");
        Files.writeString(writer, "<WriterMetadata name=\"Refusing Writer\""
                + " writerId=\"{1b2c3d4e-5f60-4718-92a3-b4c5d6e7f809}\""
                + " instanceId=\"{9f8e7d6c-5b4a-4392-8170-6f5e4d3c2b1a}\" usage=\"3\" source=\"2\">\n"
                + "  <Component name=\"Open\" type=\"2\" preRestoreFailure=\"The ledger is open\">"
                + "<File path=\"C:\\Faults\\part0\" filespec=\"*\" recursive=\"no\"/></Component>\n"
                + "</WriterMetadata>\n");
        machine.tool("vss", "writer", "add", writer.toString());
        try {
            assertTrue(backUp(archive, 0).startsWith("succeeded backup"), machine.clientLog());
            byte[] open = "written while the ledger is open".getBytes(StandardCharsets.UTF_8);
            Files.write(machine.host(TREE + "\\part0\\data.bin"), open);
            Files.write(machine.host(TREE + "\\part1\\data.bin"), open);

            String status = machine.runJob("restore");
            assertTrue(status.startsWith("succeeded restore: ") && status.endsWith(
                    "; 1 left as they were at their writer's request"), status + "\n" + machine.clientLog());
            assertTrue(machine.clientLog().contains("writer Refusing Writer: Open refused the restore: The ledger is"
                    + " open"), machine.clientLog());
            assertArrayEquals(open, Files.readAllBytes(machine.host(TREE + "\\part0\\data.bin")));
            assertArrayEquals(archivedData(archive, TREE + "\\part1\\data.bin"),
                    Files.readAllBytes(machine.host(TREE + "\\part1\\data.bin")));
        } finally {
            machine.tool("vss", "writer", "remove", "Refusing Writer");
            Files.delete(writer);
        }
    }
}
