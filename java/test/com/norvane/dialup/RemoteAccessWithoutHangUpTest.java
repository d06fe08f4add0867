package com.norvane.dialup;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** A library named RASAPI32.DLL without RasHangUpA counts as no remote access at all. */
class RemoteAccessWithoutHangUpTest {
    @BeforeAll
    static void installAnotherLibraryUnderItsName() throws Exception {
        MachineTool.run("ras", "entry", "add", "Office");
        Path link = Machine.host("C:\\Windows\\System32\\rasapi32.dll");
        Files.delete(link);
        Files.createSymbolicLink(link, Paths.get(System.getenv("WINSIM_BIN"), "libvssapi.so"));
    }

    @Test
    void everyDialUpNativeGivesItsUnavailableValue() {
        assertNull(Pallux.RasEnumEntries());
        assertNull(Pallux.RasEnumConnections());
        assertEquals(-1, Pallux.RasDial("Office", "u", "p"));
        assertEquals(Pallux.NO_CONNECTION, Pallux.RasGetConnectStatus(0x40004));
        assertEquals(-1, Pallux.RasHangUp(0x40004));
    }
}
