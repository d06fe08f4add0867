package com.norvane.dialup;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import java.nio.file.Files;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** A machine without the remote access library: the library loads all the same. */
class RemoteAccessMissingTest {
    @BeforeAll
    static void removeTheLibrary() throws Exception {
        MachineTool.run("ras", "entry", "add", "Office");
        Files.delete(Machine.host("C:\\Windows\\System32\\rasapi32.dll"));
    }

    @Test
    void everyDialUpNativeGivesItsUnavailableValue() {
        assertNull(Pallux.RasEnumEntries());
        assertNull(Pallux.RasEnumConnections());
        assertEquals(-1, Pallux.RasDial("Office", "u", "p"));
        assertEquals(-1, Pallux.RasDial(null, null, null), "unavailable before the strings are read");
        assertEquals(Pallux.NO_CONNECTION, Pallux.RasGetConnectStatus(0x40004));
        assertEquals(-1, Pallux.RasHangUp(0x40004));
    }

    @Test
    void theDesktopHelpersWorkWithoutIt() {
        Pallux.SetTitle("No window has this title");
        assertEquals(1, Pallux.newInstance());
    }
}
