package com.pemrix.vss;

import static com.pemrix.vaultcore.os.win32.RegistryApi.*;
import static com.pemrix.vss.VssTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.demo.TreeBackup;
import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import com.pemrix.testsupport.StreamRecord;
import com.pemrix.vaultcore.os.win32.BackupApi;
import com.pemrix.vaultcore.os.win32.RegValue;
import com.pemrix.vaultcore.os.win32.RegistryApi;
import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.List;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Whole hives as the application backs them up and restores them: a shadow copy of C:, the
 * SOFTWARE hive file copied out of it with BackupRead, loaded under a temporary key, read from
 * this process and another, unloaded; and a hive replaced, taking effect at the next start.
 */
class HiveBackupTest {
    private static final String NOT_A_HIVE = "The system has attempted to load or restore a file into the registry, "
            + "but the specified file is not in a registry file format.";

    @BeforeAll
    static void init() throws Exception {
        VSSFactory.init();
        BackupApi.init();
        RegistryApi.init();
        TreeBackup.enableBackupPrivileges();
        declareLedgerWriter();
    }

    private static void setString(long root, String path, String name, String text) throws Exception {
        long key = RegCreateKeyEx(root, path, 0, KEY_ALL_ACCESS).ptr;
        try {
            RegValue value = new RegValue();
            value.name = name;
            value.type = 1;
            value.stringValue = text;
            RegSetValueExW(key, value);
        } finally {
            RegCloseKey(key);
        }
    }

    private static String getString(long key, String name) throws Exception {
        RegValue value = new RegValue();
        RegGetValue(key, name, value);
        return value.stringValue;
    }

    /** A file's data stream, read with BackupRead in 4 KB pieces. */
    private static byte[] backupData(String path) throws Exception {
        long handle = BackupApi.CreateFile(path, BackupApi.GENERIC_READ, BackupApi.FILE_SHARE_READ, 0,
                BackupApi.OPEN_EXISTING, BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        byte[] buffer = new byte[4096];
        ByteArrayOutputStream stream = new ByteArrayOutputStream();
        try {
            int n;
            while ((n = BackupApi.BackupRead(context, handle, buffer, 0, buffer.length, false, false)) > 0) {
                stream.write(buffer, 0, n);
            }
        } finally {
            BackupApi.BackupRead(context, handle, buffer, 0, 0, true, false);
        }
        List<StreamRecord> records = StreamRecord.parse(stream.toByteArray());
        assertEquals(BackupApi.BACKUP_DATA, records.get(0).id);
        return records.get(0).data;
    }

    @Test
    void aHiveCopiedFromAShadowCopyIsLoadedReadAndUnloaded() throws Exception {
        setString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Hive Backup", "Known", "in the snapshot");
        String copy = Machine.freshDirectory("hives") + "\\SOFTWARE.copy";

        try (Requester requester = new Requester()) {
            byte[] snapshotId = snapshotOfC(requester.h);
            String device = BackupComponents.getSnapshotDevice(snapshotId, requester.h);
            // The live hive moves on; the snapshot keeps what it held.
            setString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Hive Backup", "Known", "after the snapshot");
            Files.write(Machine.host(copy), backupData(device + "\\Windows\\System32\\config\\SOFTWARE"));
        }

        RegLoadKey(HKEY_LOCAL_MACHINE, "Restored SOFTWARE", copy);
        long key = RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Restored SOFTWARE\\Hive Backup", 0, KEY_READ);
        assertEquals("in the snapshot", getString(key, "Known"));
        // Loaded hives are the machine's: another process sees it, and neither it nor this one
        // can unload it while this one holds a key of it.
        assertEquals("in the snapshot\n",
                MachineTool.run("reg", "query", "HKLM\\Restored SOFTWARE\\Hive Backup", "Known"));
        assertTrue(MachineTool.run("reg", "query", "HKLM").contains("HKLM\\Restored SOFTWARE\n"));
        assertEquals("Access is denied.",
                assertThrows(Exception.class, () -> RegUnLoadKey(HKEY_LOCAL_MACHINE, "Restored SOFTWARE")).getMessage());
        assertTrue(assertThrows(IllegalStateException.class,
                () -> MachineTool.run("reg", "unload", "HKLM\\Restored SOFTWARE")).getMessage()
                .contains("Access is denied."));
        RegCloseKey(key);

        RegUnLoadKey(HKEY_LOCAL_MACHINE, "Restored SOFTWARE");
        assertEquals("The system cannot find the file specified.", assertThrows(Exception.class,
                () -> RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Restored SOFTWARE\\Hive Backup", 0, KEY_READ)).getMessage());
        assertThrows(IllegalStateException.class,
                () -> MachineTool.run("reg", "query", "HKLM\\Restored SOFTWARE\\Hive Backup"));
        long live = RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Hive Backup", 0, KEY_READ);
        assertEquals("after the snapshot", getString(live, "Known"));
        RegCloseKey(live);

        // Loaded again, by the other process this time, it still holds what the snapshot held.
        MachineTool.run("reg", "load", "HKU\\Restored", copy);
        assertEquals("in the snapshot\n", MachineTool.run("reg", "query", "HKU\\Restored\\Hive Backup", "Known"));
        long again = RegOpenKeyEx(HKEY_USERS, "Restored\\Hive Backup", 0, KEY_READ);
        assertEquals("in the snapshot", getString(again, "Known"));
        RegCloseKey(again);
        RegUnLoadKey(HKEY_USERS, "Restored");
    }

    @Test
    void loadingRefusesWhatWindowsRefuses() throws Exception {
        String dir = Machine.freshDirectory("refused");
        String text = dir + "\\notes.txt";
        byte[] notes = "not a hive".getBytes(StandardCharsets.UTF_8);
        Files.write(Machine.host(text), notes);
        assertEquals(NOT_A_HIVE, assertThrows(Exception.class, () -> RegLoadKey(HKEY_LOCAL_MACHINE, "Notes", text))
                .getMessage());
        assertArrayEquals(notes, Files.readAllBytes(Machine.host(text)));  // left untouched

        String hive = dir + "\\saved.hive";
        MachineTool.run("reg", "save", "HKLM\\SOFTWARE\\JavaSoft", hive);
        assertEquals("Cannot create a file when that file already exists.",
                assertThrows(Exception.class, () -> RegLoadKey(HKEY_LOCAL_MACHINE, "software", hive)).getMessage());
        assertEquals("The process cannot access the file because it is being used by another process.",
                assertThrows(Exception.class, () -> RegLoadKey(HKEY_LOCAL_MACHINE, "Live",
                        "C:\\Windows\\System32\\config\\SOFTWARE")).getMessage());
        assertEquals("The parameter is incorrect.",
                assertThrows(Exception.class, () -> RegLoadKey(HKEY_CURRENT_USER, "Saved", hive)).getMessage());
        assertEquals("The parameter is incorrect.",
                assertThrows(Exception.class, () -> RegLoadKey(HKEY_LOCAL_MACHINE, "Saved", "")).getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> RegLoadKey(HKEY_LOCAL_MACHINE, "Saved", null))
                .getMessage());

        RegLoadKey(HKEY_LOCAL_MACHINE, "Saved", hive);
        try {
            long runtime = RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Saved\\Java Runtime Environment", 0, KEY_READ);
            assertEquals("1.8", getString(runtime, "CurrentVersion"));
            RegCloseKey(runtime);
            assertEquals("The process cannot access the file because it is being used by another process.",
                    assertThrows(Exception.class, () -> RegLoadKey(HKEY_USERS, "Twice", hive)).getMessage());
        } finally {
            RegUnLoadKey(HKEY_LOCAL_MACHINE, "Saved");
        }
        assertEquals("Access is denied.",
                assertThrows(Exception.class, () -> RegUnLoadKey(HKEY_USERS, ".DEFAULT")).getMessage());
        assertEquals("The system cannot find the file specified.",
                assertThrows(Exception.class, () -> RegUnLoadKey(HKEY_LOCAL_MACHINE, "Saved")).getMessage());

        BackupApi.setPrivilege("SeRestorePrivilege", false);
        try {
            assertEquals("A required privilege is not held by the client.",
                    assertThrows(Exception.class, () -> RegLoadKey(HKEY_LOCAL_MACHINE, "Saved", hive)).getMessage());
        } finally {
            BackupApi.setPrivilege("SeRestorePrivilege", true);
        }
    }

    @Test
    void aReplacedHiveTakesEffectAtTheNextStart() throws Exception {
        String dir = Machine.freshDirectory("replace");
        String replacement = dir + "\\SOFTWARE.new";
        String previous = dir + "\\SOFTWARE.old";
        setString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Hive Replace", "State", "replacement");
        MachineTool.run("reg", "save", "HKLM\\SOFTWARE", replacement);
        setString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Hive Replace", "State", "current");

        assertEquals(NOT_A_HIVE, assertThrows(Exception.class, () -> {
            Files.writeString(Machine.host(dir + "\\junk"), "junk");
            RegReplaceKey(HKEY_LOCAL_MACHINE, "SOFTWARE", dir + "\\junk", dir + "\\junk.old");
        }).getMessage());
        assertEquals("The parameter is incorrect.", assertThrows(Exception.class,
                () -> RegReplaceKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Hive Replace", replacement, previous)).getMessage());

        RegReplaceKey(HKEY_LOCAL_MACHINE, "SOFTWARE", replacement, previous);
        // The old file holds the hive as it was when it was replaced; the hive is unchanged until
        // the machine starts again.
        RegLoadKey(HKEY_LOCAL_MACHINE, "Previous", previous);
        long old = RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Previous\\Hive Replace", 0, KEY_READ);
        assertEquals("current", getString(old, "State"));
        RegCloseKey(old);
        RegUnLoadKey(HKEY_LOCAL_MACHINE, "Previous");
        assertEquals("current\n", MachineTool.run("reg", "query", "HKLM\\SOFTWARE\\Hive Replace", "State"));

        assertTrue(MachineTool.run("restart").contains("replaced"));
        assertEquals("replacement\n", MachineTool.run("reg", "query", "HKLM\\SOFTWARE\\Hive Replace", "State"));
        assertEquals("1.8\n", MachineTool.run("reg", "query", "HKLM\\SOFTWARE\\JavaSoft\\Java Runtime Environment",
                "CurrentVersion"));

        // A null sub-key replaces the hive of the key itself.
        String system = dir + "\\SYSTEM.new";
        MachineTool.run("reg", "set", "HKLM\\SYSTEM\\Hive Replace", "State", "REG_SZ", "replacement");
        MachineTool.run("reg", "save", "HKLM\\SYSTEM", system);
        MachineTool.run("reg", "delete", "HKLM\\SYSTEM\\Hive Replace");
        long systemRoot = RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ);
        RegReplaceKey(systemRoot, null, system, dir + "\\SYSTEM.old");
        RegCloseKey(systemRoot);
        MachineTool.run("restart");
        assertEquals("replacement\n", MachineTool.run("reg", "query", "HKLM\\SYSTEM\\Hive Replace", "State"));
    }
}
