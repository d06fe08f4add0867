package com.pemrix.demo.backup;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.pemrix.testsupport.EmulatedMachine;
import com.pemrix.testsupport.Inventory;
import com.pemrix.vaultcore.os.win32.BackupApi;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * The backup client end to end: a machine backed up by the client running as a service, the
 * archive carried to a fresh machine and restored there by the same service, and the two machines
 * compared, by the client's own verification and by an inventory taken independently of it.
 */
class BackupClientTest {
    static final String[] SETTINGS = {"archive=C:\\Backups\\machine.zip",
        "exclude=C:\\Windows\\System32;C:\\Program Files\\Java"};
    static final String[] TREES = {"C:\\Users", "C:\\Data", "C:\\Ledger"};
    static final String VAULT = "C:\\Users\\Ada\\Documents\\Vault";

    @BeforeAll
    static void init() throws Exception {
        BackupApi.init();
        BackupApi.setPrivilege("SeBackupPrivilege", true);
        BackupApi.setPrivilege("SeRestorePrivilege", true);
        BackupApi.setPrivilege("SeSecurityPrivilege", true);
    }

    static Path demoFile(String name) {
        return Paths.get(System.getenv("SOURCE_DIR"), "demo", name);
    }

    static Path ledgerWriter() {
        return demoFile("ledger-writer.xml");
    }

    /** Dials a phonebook entry of the machine; the connection stays up for the machine. */
    static void dial(EmulatedMachine machine, String entry) {
        String output = machine.run(List.of(System.getProperty("java.home") + "/bin/java",
                "-Djava.library.path=" + System.getenv("WINSIM_BIN"), "-cp", System.getenv("TEST_CLASSPATH"),
                DemoTree.class.getName(), "dial", entry), java.time.Duration.ofSeconds(60), true);
        assertTrue(output.contains("connected to " + entry), output);
    }

    /** The Ledger application's service and the one that depends on it, both running. */
    static void installLedgerServices(EmulatedMachine machine) throws Exception {
        Path program = machine.host("C:\\Program Files\\Ledger\\ledger-service.exe");
        Files.createDirectories(program.getParent());
        Files.copy(Paths.get(System.getenv("WINSIM_BIN"), "scm_test_service"), program);
        program.toFile().setExecutable(true);
        String command = "\"C:\\Program Files\\Ledger\\ledger-service.exe\"";
        machine.tool("sc", "create", "LedgerService", command, "Ledger");
        machine.tool("sc", "create", "LedgerReports", command, "Ledger Reports", "--depend", "LedgerService");
        machine.tool("sc", "start", "LedgerService", "stophint=50");
        machine.tool("sc", "start", "LedgerReports", "stophint=50");
    }

    /** The keys of the Ledger application's settings, as the machine tool lists them. */
    static String ledgerSettings(EmulatedMachine machine) {
        StringBuilder keys = new StringBuilder();
        for (String key : new String[] {"HKLM\\SOFTWARE\\Ledger", "HKLM\\SOFTWARE\\Ledger\\Accounts\\Cash"}) {
            keys.append(machine.tool("reg", "query", key));
        }
        return keys.toString();
    }

    static void assertNoJniWarnings(EmulatedMachine machine) {
        String output = machine.serviceOutput();
        assertTrue(output.contains("Picked up JAVA_TOOL_OPTIONS: -Xcheck:jni"), output);
        assertFalse(output.matches("(?s).*(WARNING in native method|FATAL ERROR in native method).*"), output);
    }

    @Test
    void aMachineBackedUpByTheServiceIsRestoredOntoAFreshOneAsItWas() throws Exception {
        try (EmulatedMachine source = EmulatedMachine.current()) {
            backUpAndRestore(source);
        }
    }

    private static void backUpAndRestore(EmulatedMachine source) throws Exception {
        List<String> made = DemoTree.populate("C:\\");
        source.tool("vss", "writer", "add", ledgerWriter().toString());
        source.tool("reg", "import", demoFile("ledger.reg").toString());
        source.tool("reg", "import", demoFile("source-machine.reg").toString());
        source.tool("ras", "entry", "add", "Head Office", "555-0100");
        dial(source, "Head Office");
        byte[] accounts = Files.readAllBytes(source.host(VAULT + "\\accounts.xlsx"));
        source.tool("efs", "encrypt", VAULT);
        source.tool("efs", "encrypt", VAULT + "\\accounts.xlsx");
        Path key = Files.createTempFile("ada", ".key");
        Files.delete(key);
        source.tool("efs", "key", "export", key.toString(), "--password", "the demo's password");
        source.installClient(SETTINGS);

        String backup = source.runJob("backup");
        assertTrue(backup.startsWith("succeeded backup: "), backup + "\n" + source.clientLog());
        assertTrue(source.clientLog().contains("progress: "), source.clientLog());
        assertEquals("", source.snapshots(), "the snapshot outlives the backup");
        assertFalse(source.exists("C:\\Backups\\machine.zip.partial"));
        source.stopService();
        assertNoJniWarnings(source);

        try (ArchiveReader archive = ArchiveReader.open(source.host("C:\\Backups\\machine.zip"), "machine.zip")) {
            Manifest manifest = archive.manifest();
            List<String> archived = new ArrayList<>();
            for (Manifest.Record file : manifest.records()) {
                if (file.kind.equals(FilesPart.RECORD) || file.kind.equals(EncryptedFiles.RECORD)) {
                    archived.add(file.get("path"));
                }
            }
            assertTrue(archived.containsAll(made), archived.toString());
            for (String path : archived) {
                assertFalse(path.startsWith("C:\\Windows\\System32") || path.startsWith("C:\\Program Files\\")
                        || path.startsWith("C:\\Backups"), path + " is not excluded");
            }
            assertEquals("Ledger Writer", manifest.one("writer").get("name"));
            assertEquals(2, manifest.all("component").size());
            assertTrue(new String(archive.read(manifest.one("document").get("entry"))).contains("Ledger"));
            assertTrue(manifest.all("skipped").isEmpty(), manifest.all("skipped").toString());
            assertEquals(List.of(VAULT, VAULT + "\\accounts.xlsx"),
                    manifest.all(EncryptedFiles.RECORD).stream().map(r -> r.get("path", "")).toList());
            assertEquals(List.of("SOFTWARE", "SYSTEM", ".DEFAULT"),
                    manifest.all(RegistryPart.RECORD).stream().map(r -> r.get("key", "")).toList());
        }
        List<String> before = Inventory.of(TREES);
        String settings = ledgerSettings(source);

        try (EmulatedMachine target = EmulatedMachine.fresh("target")) {
            installLedgerServices(target);
            target.tool("vss", "writer", "add", ledgerWriter().toString());
            target.installClient(SETTINGS);
            Files.createDirectories(target.host("C:\\Backups"));
            Files.copy(source.host("C:\\Backups\\machine.zip"), target.host("C:\\Backups\\machine.zip"));

            String restore = target.runJob("restore");
            assertTrue(restore.startsWith("succeeded restore: "), restore + "\n" + target.clientLog());
            assertTrue(target.clientLog().contains("restoring writer component Ledger Writer: Ledger\\Data"));
            assertTrue(restore.contains("after the next restart: HKLM\\SOFTWARE, HKLM\\SYSTEM, HKU\\.DEFAULT"),
                    restore);
            assertTrue(restore.contains("stopped for the restore, to be started again: LedgerService"), restore);
            String services = target.tool("sc", "list");
            assertTrue(services.contains("LedgerService  STOPPED") && services.contains("LedgerReports  STOPPED"),
                    services);
            target.stopService();
            assertTrue(target.tool("restart").contains("replaced"));
            assertEquals(settings, ledgerSettings(target));
            String verify = target.runJob("verify");
            assertTrue(verify.startsWith("succeeded verify: VERDICT: IDENTICAL"), verify + "\n" + target.clientLog());
            String report = target.read(EmulatedMachine.INSTALL_DIRECTORY + "\\verify-report.txt");
            assertTrue(report.contains("C:\\Users\\Ada\\Documents\\holiday.mp4"), report);
            assertTrue(report.matches("(?s).*HKLM\\\\SOFTWARE\\\\Ledger +13 +same.*"), report);
            assertTrue(report.matches("(?s).*computer name \\(dns-fully-qualified\\) +ledger-srv.accounts.example"
                    + " +ledger-srv.accounts.example +same.*"), report);
            assertTrue(report.matches("(?s).*product type +server +server +same.*"), report);
            assertTrue(report.matches("(?s).*proxy servers +proxy.accounts.example:8080 +proxy.accounts.example:8080"
                    + " +same.*"), report);
            assertTrue(report.matches("(?s).*connection Head Office +connected +recorded.*"), report);
            target.stopService();
            assertNoJniWarnings(target);

            assertEquals(before, Inventory.of(target, TREES));

            // With Ada's key on the machine, her encrypted file reads as it did.
            target.tool("efs", "key", "import", key.toString(), "--password", "the demo's password");
            target.tool("efs", "decrypt", VAULT + "\\accounts.xlsx");
            assertArrayEquals(accounts, Files.readAllBytes(target.host(VAULT + "\\accounts.xlsx")));
        } finally {
            Files.deleteIfExists(key);
        }
    }
}
