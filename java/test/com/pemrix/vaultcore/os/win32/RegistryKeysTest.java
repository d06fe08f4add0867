package com.pemrix.vaultcore.os.win32;

import static com.pemrix.vaultcore.os.win32.RegistryApi.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** Keys: opening, creating, deleting, the predefined roots, and copying security between keys. */
class RegistryKeysTest {
    private static final String DELETED =
            "Illegal operation attempted on a registry key that has been marked for deletion.";

    @BeforeAll
    static void init() throws Exception {
        RegistryApi.init();
        BackupApi.init();
    }

    private static void setString(long key, String name, String text) throws Exception {
        RegValue value = new RegValue();
        value.name = name;
        value.type = 1;
        value.stringValue = text;
        RegSetValueExW(key, value);
    }

    private static String getString(long key, String name) throws Exception {
        RegValue value = new RegValue();
        RegGetValue(key, name, value);
        return value.stringValue;
    }

    @Test
    void predefinedKeysAreSignExtended() {
        assertEquals(-2147483646L, HKEY_LOCAL_MACHINE);
        assertEquals(-2147483648L, HKEY_CLASSES_ROOT);
    }

    @Test
    void createOpenCloseAndTheirFailures() throws Exception {
        RegKey created = RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\RegistryKeysTest\\New", 0, KEY_ALL_ACCESS);
        assertEquals(1, created.disposition);
        assertNotEquals(0, created.ptr);
        RegKey existing = RegCreateKeyEx(HKEY_LOCAL_MACHINE, "software\\registrykeystest\\NEW", 0, KEY_READ);
        assertEquals(2, existing.disposition);
        RegCloseKey(existing.ptr);

        long opened = RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\RegistryKeysTest\\New", 0, KEY_READ);
        RegFlushKey(opened);
        assertEquals("Access is denied.", assertThrows(Exception.class, () -> setString(opened, "x", "y")).getMessage());
        RegCloseKey(opened);
        assertEquals("The handle is invalid.", assertThrows(Exception.class, () -> RegCloseKey(opened)).getMessage());
        assertEquals("The handle is invalid.", assertThrows(Exception.class, () -> RegFlushKey(opened)).getMessage());

        assertEquals("The system cannot find the file specified.", assertThrows(Exception.class,
                () -> RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\RegistryKeysTest\\Missing", 0, KEY_READ))
                .getMessage());
        assertEquals("The parameter is incorrect.", assertThrows(Exception.class,
                () -> RegCreateKeyEx(created.ptr, "k".repeat(256), 0, KEY_READ)).getMessage());
        assertEquals("The specified path is invalid.", assertThrows(Exception.class,
                () -> RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\\\x", 0, KEY_READ)).getMessage());
        assertEquals("Access is denied.", assertThrows(Exception.class,
                () -> RegCreateKeyEx(HKEY_LOCAL_MACHINE, "NotAHive", 0, KEY_ALL_ACCESS)).getMessage());
        assertEquals("", assertThrows(NullPointerException.class,
                () -> RegOpenKeyEx(HKEY_LOCAL_MACHINE, null, 0, KEY_READ)).getMessage());
        assertEquals("", assertThrows(NullPointerException.class,
                () -> RegCreateKeyEx(HKEY_LOCAL_MACHINE, null, 0, KEY_READ)).getMessage());
        RegCloseKey(created.ptr);
    }

    @Test
    void deletingKeys() throws Exception {
        long parent = RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\RegistryKeysTest\\Delete", 0, KEY_ALL_ACCESS).ptr;
        long child = RegCreateKeyEx(parent, "Child", 0, KEY_ALL_ACCESS).ptr;
        RegCloseKey(RegCreateKeyEx(child, "Grandchild", 0, KEY_ALL_ACCESS).ptr);
        assertEquals("Access is denied.", assertThrows(Exception.class, () -> RegDeleteKey(parent, "Child"))
                .getMessage());
        RegDeleteKey(child, "Grandchild");
        setString(child, "v", "w");
        RegDeleteKey(parent, "Child");
        assertEquals(DELETED, assertThrows(Exception.class, () -> getString(child, "v")).getMessage());
        assertEquals(DELETED, assertThrows(Exception.class, () -> setString(child, "v", "w")).getMessage());
        assertEquals(DELETED, assertThrows(Exception.class, () -> RegEnumKeyExW(child, 0)).getMessage());
        assertEquals(DELETED, assertThrows(Exception.class, () -> RegEnumValueW(child, 0, new RegValue()))
                .getMessage());
        RegCloseKey(child);
        assertEquals("The system cannot find the file specified.",
                assertThrows(Exception.class, () -> RegDeleteKey(parent, "Child")).getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> RegDeleteKey(parent, null)).getMessage());
        assertNull(RegEnumKeyExW(parent, 0));
        RegCloseKey(parent);
    }

    /** The current user's keys live in the user's own hive; HKEY_CLASSES_ROOT merges classes. */
    @Test
    void currentUserAndClassesRoot() throws Exception {
        long settings = RegCreateKeyEx(HKEY_CURRENT_USER,
                "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0, KEY_ALL_ACCESS).ptr;
        setString(settings, "ProxyServer", "proxy:8080");
        RegCloseKey(settings);
        assertEquals("proxy:8080\n", MachineTool.run("reg", "query",
                "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", "ProxyServer"));

        long server = RegCreateKeyEx(HKEY_CLASSES_ROOT, "RegistryKeysTest.Server\\CLSID", 0, KEY_ALL_ACCESS).ptr;
        setString(server, "", "{00000000-0000-0000-0000-000000000001}");
        RegCloseKey(server);
        assertEquals("{00000000-0000-0000-0000-000000000001}\n", MachineTool.run("reg", "query",
                "HKLM\\SOFTWARE\\Classes\\RegistryKeysTest.Server\\CLSID", ""));
        long user = RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Classes\\RegistryKeysTest.Server\\CLSID", 0,
                KEY_ALL_ACCESS).ptr;
        setString(user, "", "{mine}");
        RegCloseKey(user);
        long merged = RegOpenKeyEx(HKEY_CLASSES_ROOT, "RegistryKeysTest.Server\\CLSID", 0, KEY_READ);
        assertEquals("{mine}", getString(merged, ""));
        RegCloseKey(merged);
    }

    /** Owner, group and both lists move together, which needs the security privilege. */
    @Test
    void copyKeySecurityWithAndWithoutTheSecurityPrivilege() throws Exception {
        long source = RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\RegistryKeysTest\\Secured", 0, KEY_ALL_ACCESS).ptr;
        long target = RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\RegistryKeysTest\\Target", 0, KEY_ALL_ACCESS).ptr;
        String sourcePath = "HKCU\\Software\\RegistryKeysTest\\Secured";
        String targetPath = "HKLM\\SOFTWARE\\RegistryKeysTest\\Target";
        assertNotEquals(MachineTool.run("reg", "security", sourcePath), MachineTool.run("reg", "security", targetPath));

        // Without the privilege the system list can be neither asked for nor read.
        BackupApi.setPrivilege("SeSecurityPrivilege", false);
        assertEquals("A required privilege is not held by the client.", assertThrows(Exception.class,
                () -> RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\RegistryKeysTest\\Secured", 0,
                        KEY_READ | ACCESS_SYSTEM_SECURITY)).getMessage());
        assertEquals("Access is denied.", assertThrows(Exception.class, () -> RegCopyKeySecurity(source, target))
                .getMessage());
        RegCloseKey(source);
        RegCloseKey(target);

        BackupApi.setPrivilege("SeSecurityPrivilege", true);
        try {
            long readable = RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\RegistryKeysTest\\Secured", 0,
                    KEY_READ | ACCESS_SYSTEM_SECURITY);
            long writable = RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\RegistryKeysTest\\Target", 0,
                    KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY);
            RegCopyKeySecurity(readable, writable);
            assertEquals(MachineTool.run("reg", "security", sourcePath),
                    MachineTool.run("reg", "security", targetPath));
            // A handle without the right to change the list is refused.
            long readOnly = RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\RegistryKeysTest\\Target", 0,
                    KEY_READ | ACCESS_SYSTEM_SECURITY);
            assertEquals("Access is denied.", assertThrows(Exception.class, () -> RegCopyKeySecurity(readable, readOnly))
                    .getMessage());
            RegCloseKey(readOnly);
            RegCloseKey(readable);
            RegCloseKey(writable);
        } finally {
            BackupApi.setPrivilege("SeSecurityPrivilege", false);
        }
    }
}
